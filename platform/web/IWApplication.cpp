#include "platform/web/IWApplication.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>

#include "platform/rtl/SysUtils.h"

namespace zelk::web {

TIWApplication::TIWApplication(rtl::TComponent* AOwner, std::string ApplicationURL,
                               std::string SessionID)
    : TComponent(AOwner),
      FApplicationURL(std::move(ApplicationURL)),
      FSessionID(std::move(SessionID)) {}

TIWApplication::~TIWApplication() {
  // The session's components go before the application object's own state.
  DestroyComponents();
}

void TIWApplication::GoToURL(const std::string& URL) {
  FRedirectURL = URL;
}

void TIWApplication::FlowSucceeded() {
  FEstablished = true;
  FRenewSessionID = true;
}

const std::string& TIWApplication::FormToken() {
  if (!FFormToken.empty()) return FFormToken;
  std::array<unsigned char, 32> Bytes{};
  if (RAND_bytes(Bytes.data(), static_cast<int>(Bytes.size())) != 1)
    throw rtl::Exception("Cannot make a form token: the system's random source failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string Token;
  Token.reserve(2 * Bytes.size());
  for (const unsigned char B : Bytes) {
    Token += kHex[B >> 4];
    Token += kHex[B & 0xf];
  }
  FFormToken = std::move(Token);
  return FFormToken;
}

const std::string& TIWApplication::Value(const std::string& Name) const {
  static const std::string None;
  const auto It = FValues.find(Name);
  return It == FValues.end() ? None : It->second;
}

void TIWApplication::SetValue(const std::string& Name, std::string V) {
  FValues.insert_or_assign(Name, std::move(V));
}

void TIWApplication::EraseValue(const std::string& Name) {
  FValues.erase(Name);
}

bool TIWApplication::CheckFormToken(const THttpRequest& Request) const {
  if (FFormToken.empty()) return false;
  const std::string Sent = Request.ContentField(FormTokenField);
  return Sent.size() == FFormToken.size() &&
         CRYPTO_memcmp(Sent.data(), FFormToken.data(), Sent.size()) == 0;
}

}  // namespace zelk::web
