// The PayPal NVP reply reading: the success test, the token and the failure messages, on any
// reply.
//
// Invariants: success is "ack=success" anywhere in the lower-cased reply; a token holds no "&",
// stands in the reply right after the first "TOKEN=" and runs to the next "&" or the end; the
// failure message is built only from L_SHORTMESSAGE0 and L_LONGMESSAGE0, each piece ending in
// ". ", with no "%20" left and no "&" in it, and is empty when the reply has neither field.
#include <algorithm>
#include <cstdint>
#include <string>

#include "payments/IWPayPalClient.h"
#include "support/FuzzSupport.h"

using namespace zelk::IWPayPalClient::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Reply(reinterpret_cast<const char*>(Data), Size);

  std::string Lower = Reply;
  std::transform(Lower.begin(), Lower.end(), Lower.begin(),
                 [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; });
  ZELK_FUZZ_CHECK(NVPSucceeded(Reply) == (Lower.find("ack=success") != std::string::npos), Reply);

  const std::string Token = NVPToken(Reply);
  const auto At = Reply.find("TOKEN=");
  if (At == std::string::npos) {
    ZELK_FUZZ_CHECK(Token.empty(), Token);
  } else {
    ZELK_FUZZ_CHECK(Token.find('&') == std::string::npos, Token);
    ZELK_FUZZ_CHECK(Reply.compare(At + 6, Token.size(), Token) == 0, Token);
    const auto End = At + 6 + Token.size();
    ZELK_FUZZ_CHECK(End == Reply.size() || Reply[End] == '&', Token);
  }

  const std::string Message = NVPFailureMessage(Reply);
  const bool HasMessages = Reply.find("L_SHORTMESSAGE0=") != std::string::npos ||
                           Reply.find("L_LONGMESSAGE0=") != std::string::npos;
  if (!HasMessages) ZELK_FUZZ_CHECK(Message.empty(), Message);
  if (!Message.empty()) ZELK_FUZZ_CHECK(Message.ends_with(". "), Message);
  ZELK_FUZZ_CHECK(Message.find("%20") == std::string::npos, Message);
  ZELK_FUZZ_CHECK(Message.find('&') == std::string::npos, Message);
  return 0;
}
