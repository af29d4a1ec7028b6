// The code flow's state, the default hooks of a description, and the PKCE and HMAC-SHA256
// helpers.
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

// ---------------------------------------------------------------------------------------------
// TOAuth2Description's default hooks: plain OAuth 2.0

namespace {

const char* const kFormHeader = "Content-Type: application/x-www-form-urlencoded";
const char* const kAcceptJSON = "Accept: application/json";

// A bearer token is visible ASCII (RFC 6750); anything else cannot go into a header or a query
// as it came.
bool IsTokenText(const std::string& Token) {
  return std::none_of(Token.begin(), Token.end(), [](char C) {
    const auto U = static_cast<unsigned char>(C);
    return U <= 32 || U >= 127;
  });
}

}  // namespace

std::string TOAuth2Description::ReturnAddress(const TOAuth2Context& Context) const {
  return Context.ApplicationURL + "/";
}

TParams TOAuth2Description::AuthorizationParams(const TOAuth2Context& Context) const {
  TParams Params = {{"client_id", Context.ClientID},
                    {"redirect_uri", Context.RedirectURI},
                    {"response_type", "code"},
                    {"scope", Scope()},
                    {"state", Context.State}};
  if (FOptions.Pkce) {
    Params.emplace_back("code_challenge", Context.Challenge);
    Params.emplace_back("code_challenge_method", "S256");
  }
  return Params;
}

std::string TOAuth2Description::AuthorizationURL(const TOAuth2Context& Context) const {
  return TOAuth2CodeFlow::AuthorizationURL(
      "https://" + Context.Host(FOptions.Authorize.Host) + Path(FOptions.Authorize.Path),
      AuthorizationParams(Context));
}

std::optional<TOAuth2Result> TOAuth2Description::CheckReturn(const THttpRequest& Request,
                                                             const TOAuth2Context& Context) const {
  if (Context.State.empty() || Request.Query("state") != Context.State)
    return TOAuth2Result::Failed(
        "The provider's return does not belong to the sign-in in progress");
  if (const std::string Error = Request.Query("error"); !Error.empty()) {
    const std::string Description = Request.Query("error_description");
    return TOAuth2Result::Failed(Description.empty() ? Error : Description);
  }
  if (Request.Query("code").empty())
    return TOAuth2Result::Failed("The provider's return carries no authorization code");
  return std::nullopt;
}

TParams TOAuth2Description::TokenParams(const TOAuth2Context& Context,
                                        const std::string& Code) const {
  TParams Params = {{"code", Code}};
  if (FOptions.ClientAuthentication != TClientAuthentication::caBasic) {
    Params.emplace_back("client_id", Context.ClientID);
    Params.emplace_back("client_secret", Context.ClientSecret);
  }
  Params.emplace_back("redirect_uri", Context.RedirectURI);
  Params.emplace_back("grant_type", "authorization_code");
  if (FOptions.Pkce) Params.emplace_back("code_verifier", Context.Verifier);
  return Params;
}

TOAuth2Request TOAuth2Description::Request(const TOAuth2Endpoint& Endpoint) const {
  TOAuth2Request R;
  R.Host = Endpoint.Host;
  R.Path = Path(Endpoint.Path);
  R.Http11 = FOptions.Http11;
  if (R.Http11) R.HeaderLines = {kAcceptJSON};
  return R;
}

TOAuth2Request TOAuth2Description::TokenRequest(const TOAuth2Context& Context,
                                                const std::string& Code) const {
  TOAuth2Request R = Request(FOptions.Token);
  const std::string Params = EncodeQuery(TokenParams(Context, Code));
  if (FOptions.ClientAuthentication == TClientAuthentication::caQuery) {
    R.Path += (R.Path.find('?') == std::string::npos ? "?" : "&") + Params;
    return R;
  }
  R.Post = true;
  R.Body = Params;
  if (R.Http11)
    R.HeaderLines.insert(R.HeaderLines.begin(), kFormHeader);
  else
    R.Header = kFormHeader;
  if (FOptions.ClientAuthentication == TClientAuthentication::caBasic) {
    // RFC 6749 section 2.3.1: each part form-encoded before they are joined.
    const std::string Pair = URLEncode(Context.ClientID) + ":" + URLEncode(Context.ClientSecret);
    R.HeaderLines.push_back("Authorization: Basic " +
                            Base64Encode(TBytes(Pair.begin(), Pair.end())));
  }
  return R;
}

TOAuth2Token TOAuth2Description::ReadToken(const std::string& Reply) const {
  TOAuth2Token T;
  TJSONObject Json;
  ParseJSON(Reply, Json);
  const nlohmann::json& Doc = Json.Json();
  if (const auto It = Doc.find("access_token"); It != Doc.end() && It->is_string())
    T.Token = It->get<std::string>();
  if (!IsTokenText(T.Token)) {
    OPENSSL_cleanse(T.Token.data(), T.Token.size());
    T.Token.clear();
    T.Failure =
        TOAuth2Result::Failed("The provider's token reply carries a malformed access token");
  } else if (T.Token.empty()) {
    std::string Error = ErrorText(Json);
    if (Error.empty()) Error = "The provider's token reply carries no access token";
    T.Failure = TOAuth2Result::Failed(std::move(Error));
  }
  return T;
}

TOAuth2Request TOAuth2Description::ProfileRequest(const TOAuth2Context& /*Context*/,
                                                  const std::string& Token) const {
  TOAuth2Request R = Request(FOptions.Profile);
  R.HeaderLines.insert(R.HeaderLines.begin(), "Authorization: Bearer " + Token);
  return R;
}

TOAuth2Result TOAuth2Description::ReadProfile(const std::string& Reply) const {
  TJSONObject Profile;
  ParseJSON(Reply, Profile);
  if (std::string Text = ErrorText(Profile); !Text.empty())
    return TOAuth2Result::Failed(std::move(Text));
  if (!MapProfile(Profile))
    return TOAuth2Result::Failed("The provider's profile reply does not identify a user");
  return {resOK, std::string()};
}

std::string TOAuth2Description::ErrorText(const TJSONObject& Reply) const {
  return OAuth2ErrorText(Reply);
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

}  // namespace zelk::IWZelkAuthBase
