// The shared authorization-code flow of current mode, and the PKCE and HMAC-SHA256 helpers.
#include "core/OAuth2Flow.h"
#include "core/Trace.h"
#include "core/HelpersDetail.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>

namespace zelk::IWZelkAuthBase {

std::string EncodeQuery(const TParams& Params) {
  std::string S;
  for (const auto& [Name, Value] : Params) {
    if (!S.empty()) S += '&';
    S += Name;
    S += '=';
    S += URLEncode(Value);
  }
  return S;
}

std::string Base64URLEncode(std::string_view Bytes) {
  return Base64Encode(Bytes, TBase64::URL);
}

std::string NewCodeVerifier() {
  // 48 bytes make 64 Base64url characters, all of them unreserved, with no padding.
  std::array<std::uint8_t, 48> Random{};
  if (!detail::RandomBytes(Random.data(), Random.size()))
    throw rtl::Exception("No random bytes for the PKCE code verifier could be had");
  return Base64URLEncode(
      std::string_view(reinterpret_cast<const char*>(Random.data()), Random.size()));
}

std::string CodeChallenge(std::string_view Verifier) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> Digest{};
  unsigned int Len = 0;
  if (EVP_Digest(Verifier.data(), Verifier.size(), Digest.data(), &Len, EVP_sha256(), nullptr) !=
          1 ||
      Len != Digest.size())
    throw rtl::Exception("SHA-256 of the PKCE code verifier failed");
  return Base64URLEncode(std::string_view(reinterpret_cast<const char*>(Digest.data()), Len));
}

std::string HMACSha256Hex(std::string_view Key, std::string_view Message) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> Digest{};
  unsigned int Len = 0;
  // An empty key is valid (RFC 2104); OpenSSL wants a non-null pointer for it.
  static const unsigned char kEmpty = 0;
  const void* KeyData = Key.empty() ? static_cast<const void*>(&kEmpty) : Key.data();
  if (HMAC(EVP_sha256(), KeyData, static_cast<int>(Key.size()),
           reinterpret_cast<const unsigned char*>(Message.data()), Message.size(), Digest.data(),
           &Len) == nullptr)
    throw rtl::Exception("HMAC-SHA256 failed");
  static constexpr std::string_view kHex = "0123456789abcdef";
  std::string R;
  R.reserve(std::size_t{Len} * 2);
  for (unsigned int I = 0; I < Len; ++I) {
    R += kHex[Digest[I] >> 4];
    R += kHex[Digest[I] & 15];
  }
  return R;
}

std::string OAuth2ErrorText(const TJSONObject& Reply) {
  // Only texts count: a null or a number in these places says nothing a user could read.
  if (Reply.IsObject("error")) {
    const TJSONObject Error = Reply.Object("error");
    if (std::string Message = JSONString(Error, "message"); !Message.empty()) return Message;
    if (std::string Code = JSONString(Error, "code"); !Code.empty()) return Code;
  }
  if (std::string Description = JSONString(Reply, "error_description"); !Description.empty())
    return Description;
  return JSONString(Reply, "error");
}

std::string JSONString(const TJSONObject& Object, std::string_view Name) {
  const nlohmann::json& Doc = Object.Json();
  if (!Doc.is_object()) return {};
  const auto It = Doc.find(Name);
  return It != Doc.end() && It->is_string() ? It->get<std::string>() : std::string();
}

// ---------------------------------------------------------------------------------------------
// TOAuth2CodeFlow

void TOAuth2CodeFlow::Begin(std::string State, std::string RedirectURI, bool Pkce) {
  Forget();
  std::string Verifier = Pkce ? NewCodeVerifier() : std::string();
  FState = std::move(State);
  FRedirectURI = std::move(RedirectURI);
  FVerifier = std::move(Verifier);
}

void TOAuth2CodeFlow::Forget() {
  FState.clear();
  FRedirectURI.clear();
  // The verifier proves the flow's ownership of its code: no copy outlives the flow.
  OPENSSL_cleanse(FVerifier.data(), FVerifier.size());
  FVerifier.clear();
}

void TOAuth2CodeFlow::SetVerifier(std::string Value) {
  // RFC 7636 section 4.1: 43 to 128 characters of [A-Z] [a-z] [0-9] "-" "." "_" "~".
  if (!Value.empty() &&
      (Value.size() < 43 || Value.size() > 128 ||
       Value.find_first_not_of(
           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~") !=
           std::string::npos))
    throw rtl::Exception("The PKCE code verifier must be 43 to 128 unreserved characters");
  OPENSSL_cleanse(FVerifier.data(), FVerifier.size());
  FVerifier = std::move(Value);
}

std::string TOAuth2CodeFlow::Challenge() const {
  return FVerifier.empty() ? std::string() : CodeChallenge(FVerifier);
}

std::string TOAuth2CodeFlow::AuthorizationURL(std::string_view Base, const TParams& Params) {
  std::string URL = std::string(Base) + "?" + EncodeQuery(Params);
  if (TraceEnabled()) {
    TTraceEvent Event;
    Event.Step = "authorize redirect";
    Event.Method = "GET";
    for (const auto& [Name, Value] : Params) {
      if (Name == "state") Event.Flow = Value;
      if (Name == "redirect_uri") Event.RedirectURI = Value;
    }
    Event.Provider = ProviderOfFlow(Event.Flow);
    std::string_view Rest = Base;
    if (const auto Scheme = Rest.find("://"); Scheme != std::string_view::npos)
      Rest.remove_prefix(Scheme + 3);
    const auto Slash = Rest.find('/');
    Event.Host = std::string(Rest.substr(0, Slash));
    Event.Path =
        (Slash == std::string_view::npos ? std::string("/") : std::string(Rest.substr(Slash))) +
        URL.substr(Base.size());
    Trace(Event);
  }
  return URL;
}

namespace {

std::string Send(const TOAuth2Call& Call, std::string Step) {
  const TTraceScope Scope({}, {}, std::move(Step));
  std::string Reply;
  if (Call.Post)
    Https_Post11(Call.Host, Call.Path, Call.HeaderLines, Call.Data, Reply);
  else
    Https_Get11(Call.Host, Call.Path, Call.HeaderLines, Reply);
  return Reply;
}

}  // namespace

TOAuth2CodeFlow::TOutcome TOAuth2CodeFlow::Complete(const THttpRequest& Request,
                                                    TOAuth2Provider& Provider) {
  TOutcome Outcome;
  const std::string State = Request.Query("state");
  const std::string Error = Request.Query("error");
  const std::string Code = Request.Query("code");
  if (!Active() || State != FState) {
    Outcome.Error = "The provider's return does not belong to the sign-in in progress";
  } else if (!Error.empty()) {
    const std::string Description = Request.Query("error_description");
    Outcome.Error = Description.empty() ? Error : Description;
  } else if (Code.empty()) {
    Outcome.Error = "The provider's return carries no authorization code";
  } else {
    std::string Token;
    {
      TJSONObject Reply;
      ParseJSON(Send(Provider.TokenCall(Code, FRedirectURI, FVerifier), "token exchange"), Reply);
      const nlohmann::json& Doc = Reply.Json();
      if (const auto It = Doc.find("access_token"); It != Doc.end() && It->is_string())
        Token = It->get<std::string>();
      // A bearer token is visible ASCII (RFC 6750); anything else cannot go into a header or a
      // query as it came.
      if (std::any_of(Token.begin(), Token.end(), [](char C) {
            const auto U = static_cast<unsigned char>(C);
            return U <= 32 || U >= 127;
          })) {
        Outcome.Error = "The provider's token reply carries a malformed access token";
        Token.clear();
      } else if (Token.empty()) {
        Outcome.Error = OAuth2ErrorText(Reply);
        if (Outcome.Error.empty())
          Outcome.Error = "The provider's token reply carries no access token";
      }
    }
    if (!Token.empty()) {
      TJSONObject Profile;
      ParseJSON(Send(Provider.ProfileCall(Token), "profile"), Profile);
      OPENSSL_cleanse(Token.data(), Token.size());
      if (std::string Text = OAuth2ErrorText(Profile); !Text.empty())
        Outcome.Error = std::move(Text);
      else if (!Provider.MapProfile(Profile))
        Outcome.Error = "The provider's profile reply does not identify a user";
      else
        Outcome.Result = resOK;
    }
  }
  Forget();
  return Outcome;
}

// ---------------------------------------------------------------------------------------------
// TZIWCustomCloudClient's share of current mode

TIWApi TZIWCustomCloudClient::Api() const {
  auto L = Lock();
  return FApi;
}

void TZIWCustomCloudClient::SetApi(TIWApi Value) {
  auto L = Lock();
  FApi = Value;
}

void TZIWCustomCloudClient::CompleteCurrentLogin(const THttpRequest& Request, TOAuth2CodeFlow& Flow,
                                                 TOAuth2Provider& Provider) {
  auto L = Lock();
  TOAuth2CodeFlow::TOutcome Outcome = Flow.Complete(Request, Provider);
  SetLoginResult(Outcome.Result);
  SetLoginError(std::move(Outcome.Error));
  ReachOutcome(Refused(Request));
  TZIWCustomCloudClient::LoginResponse(Request);
}

}  // namespace zelk::IWZelkAuthBase
