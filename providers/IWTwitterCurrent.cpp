// The current generation of Twitter's API as a description of the generic OAuth 1.0a flow: the
// sign-in on the X API host with a fixed callback and returns routed by the request token, and
// posts through POST /2/tweets with a JSON body; and the signing and reply readers it uses.
#include <algorithm>

#include "core/OAuth2Flow.h"
#include "platform/web/HttpRequest.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/TwitterGenerationDetail.h"

namespace zelk::IWTwitterAuthClient {

using namespace IWZelkAuthBase;

namespace {

constexpr const char* kRequestTokenPath = "/oauth/request_token";
constexpr const char* kAuthenticatePath = "/oauth/authenticate";
constexpr const char* kAccessTokenPath = "/oauth/access_token";
constexpr const char* kTweetsPath = "/2/tweets";
constexpr const char* kFormType = "Content-Type: application/x-www-form-urlencoded";
constexpr const char* kJsonType = "Content-Type: application/json";

using TPairs = std::vector<std::pair<std::string, std::string>>;

std::string Value(const TPairs& Pairs, std::string_view Name) {
  for (const auto& [N, V] : Pairs)
    if (N == Name) return V;
  return {};
}

// The provider's text for a reply that is not what was asked for: its JSON error text, else
// the reply itself without trailing line ends.
std::string ReplyText(const std::string& Reply) {
  TJSONObject JSON;
  ParseJSON(Reply, JSON);
  if (std::string Text = XErrorText(JSON); !Text.empty()) return Text;
  std::string Text = Reply;
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' '))
    Text.pop_back();
  return Text;
}

// The OAuth parameters every call carries, in the order of their names.
TPairs OAuthParams(const std::string& ConsumerKey, const std::string& Token,
                   const std::string& Verifier) {
  TPairs P;
  P.emplace_back("oauth_consumer_key", ConsumerKey);
  P.emplace_back("oauth_nonce", GenerateNonce());
  P.emplace_back("oauth_signature_method", "HMAC-SHA1");
  P.emplace_back("oauth_timestamp", GenerateTimeStamp());
  if (!Token.empty()) P.emplace_back("oauth_token", Token);
  if (!Verifier.empty()) P.emplace_back("oauth_verifier", Verifier);
  P.emplace_back("oauth_version", "1.0");
  return P;
}

}  // namespace

TSignedCall SignCall(const std::string& Method, const std::string& Host, const std::string& Path,
                     const TPairs& OAuth, const TPairs& Form, const std::string& ConsumerSecret,
                     const std::string& TokenSecret) {
  TSignedCall C;
  std::vector<std::pair<std::string, std::string>> Encoded;
  Encoded.reserve(OAuth.size() + Form.size());
  for (const TPairs* List : {&OAuth, &Form})
    for (const auto& [N, V] : *List)
      Encoded.emplace_back(URLEncode(N), URLEncode(V));
  // RFC 5849 section 3.4.1.3.2: by encoded name, then by encoded value, byte order.
  std::sort(Encoded.begin(), Encoded.end());
  for (const auto& [N, V] : Encoded) {
    if (!C.ParameterString.empty()) C.ParameterString += '&';
    C.ParameterString += N;
    C.ParameterString += '=';
    C.ParameterString += V;
  }
  C.BaseString =
      Method + "&" + URLEncode("https://" + Host + Path) + "&" + URLEncode(C.ParameterString);
  C.Signature = Base64Encode(
      EncryptHMACSha1(C.BaseString, URLEncode(ConsumerSecret) + "&" + URLEncode(TokenSecret)));
  C.Header = "Authorization: OAuth ";
  auto Add = [&C](const std::string& N, const std::string& V) {
    if (C.Header.back() != ' ') C.Header += ", ";
    C.Header += URLEncode(N) + "=\"" + URLEncode(V) + "\"";
  };
  for (const auto& [N, V] : OAuth)
    Add(N, V);
  Add("oauth_signature", C.Signature);
  return C;
}

TPairs DecodeFormReply(const std::string& Reply) {
  TPairs Pairs;
  std::string_view Rest = Reply;
  while (!Rest.empty()) {
    const auto Amp = Rest.find('&');
    const std::string_view Pair = Rest.substr(0, Amp);
    Rest = Amp == std::string_view::npos ? std::string_view() : Rest.substr(Amp + 1);
    if (Pair.empty()) continue;
    const auto Eq = Pair.find('=');
    Pairs.emplace_back(web::DecodeQueryComponent(Pair.substr(0, Eq)),
                       Eq == std::string_view::npos
                           ? std::string()
                           : web::DecodeQueryComponent(Pair.substr(Eq + 1)));
  }
  return Pairs;
}

std::string XErrorText(const TJSONObject& Reply) {
  if (std::string Detail = JSONString(Reply, "detail"); !Detail.empty()) return Detail;
  if (std::string Title = JSONString(Reply, "title"); !Title.empty()) return Title;
  const nlohmann::json& Doc = Reply.Json();
  if (const auto It = Doc.find("errors");
      It != Doc.end() && It->is_array() && !It->empty() && It->front().is_object()) {
    const auto M = It->front().find("message");
    if (M != It->front().end() && M->is_string()) return M->get<std::string>();
  }
  return {};
}

namespace {

// The present API on the X API host: a fixed callback, returns routed by the request token
// (the flow's defaults), every call a signed POST over HTTP/1.1, posts as JSON.
class TCurrent final : public detail::TTwitterGeneration {
 public:
  TOAuth1RequestToken RequestToken(const TOAuth1Consumer& Consumer,
                                   const std::string& Callback) const override;
  std::string AuthorizeURL(const TOAuth1Consumer& Consumer,
                           const std::string& Token) const override {
    return "https://" + Consumer.Endpoints.Host(phXApi) + kAuthenticatePath +
           "?oauth_token=" + URLEncode(Token);
  }
  TOAuth1Access AccessToken(const TOAuth1Consumer& Consumer, const TOAuth1Token& Request,
                            const std::string& Verifier) const override;
  detail::TPostOutcome Post(const TOAuth1Consumer& Consumer, const TOAuth1Token& Access,
                            const std::string& S) const override;
};

TOAuth1RequestToken TCurrent::RequestToken(const TOAuth1Consumer& Consumer,
                                           const std::string& Callback) const {
  const std::string Host = Consumer.Endpoints.Host(phXApi);
  const TPairs OAuth = OAuthParams(Consumer.Key, {}, {});
  const TPairs Form{{"oauth_callback", Callback}};
  const TSignedCall C =
      SignCall("POST", Host, kRequestTokenPath, OAuth, Form, Consumer.Secret, std::string());
  const std::string Reply = Consumer.Transport
                                .Post11(Host, kRequestTokenPath, {C.Header, kFormType},
                                        "oauth_callback=" + URLEncode(Callback))
                                .Body;

  TOAuth1RequestToken R;
  const TPairs Values = DecodeFormReply(Reply);
  const std::string Token = Value(Values, "oauth_token");
  const std::string Secret = Value(Values, "oauth_token_secret");
  if (Value(Values, "oauth_callback_confirmed") != "true" || Token.empty() || Secret.empty()) {
    // Nothing went to the browser yet: the result and the provider's text, no event.
    std::string Text = ReplyText(Reply);
    R.Refusal = TOAuth1Outcome::Failed(
        Text.empty() ? "Twitter sign-in failed: the request-token reply carries no token" : Text);
    return R;
  }
  R.Granted = {Token, Secret};
  return R;
}

TOAuth1Access TCurrent::AccessToken(const TOAuth1Consumer& Consumer, const TOAuth1Token& Request,
                                    const std::string& Verifier) const {
  const std::string Host = Consumer.Endpoints.Host(phXApi);
  const TPairs OAuth = OAuthParams(Consumer.Key, Request.Token, Verifier);
  const TSignedCall C =
      SignCall("POST", Host, kAccessTokenPath, OAuth, {}, Consumer.Secret, Request.Secret);
  const std::string Reply =
      Consumer.Transport.Post11(Host, kAccessTokenPath, {C.Header}, std::string()).Body;

  TOAuth1Access A;
  const TPairs Values = DecodeFormReply(Reply);
  const std::string Token = Value(Values, "oauth_token");
  const std::string Secret = Value(Values, "oauth_token_secret");
  if (Token.empty() || Secret.empty()) {
    std::string Text = ReplyText(Reply);
    A.Outcome = TOAuth1Outcome::Failed(
        Text.empty() ? "Twitter sign-in failed: the access-token reply carries no token" : Text);
    return A;
  }
  A.Outcome.UserID = Value(Values, "user_id");
  A.Outcome.ScreenName = Value(Values, "screen_name");
  if (A.Outcome.UserID.empty() || A.Outcome.ScreenName.empty()) {
    A.Outcome = TOAuth1Outcome::Failed(
        "Twitter sign-in failed: the access-token reply carries no \"user_id\" or "
        "\"screen_name\"");
    return A;
  }
  // Only a trade that names the user replaces the access token.
  A.Access = TOAuth1Token{Token, Secret};
  A.Outcome.Result = resOK;
  A.Outcome.Error = std::string();
  return A;
}

detail::TPostOutcome TCurrent::Post(const TOAuth1Consumer& Consumer, const TOAuth1Token& Access,
                                    const std::string& S) const {
  using TKind = detail::TPostOutcome::TKind;
  std::string Body;
  try {
    Body = nlohmann::json{{"text", S}}.dump();
  } catch (const nlohmann::json::exception&) {
    // Nothing is sent: the provider would refuse the document, and replacing the bytes would
    // post a text the user did not write.
    return {TKind::Failed, "Twitter post failed: the text is not valid UTF-8"};
  }
  const std::string Host = Consumer.Endpoints.Host(phXApi);
  // A JSON body is not signed: only the method, the URL and the OAuth parameters are.
  const TSignedCall C =
      SignCall("POST", Host, kTweetsPath, OAuthParams(Consumer.Key, Access.Token, {}), {},
               Consumer.Secret, Access.Secret);
  const THttpReply Reply =
      Consumer.Transport.Post11(Host, kTweetsPath, {C.Header, kJsonType}, Body);

  TJSONObject JSON;
  ParseJSON(Reply.Body, JSON);
  if (JSON.IsObject("data")) {
    if (std::string ID = JSONString(JSON.Object("data"), "id"); !ID.empty())
      return {TKind::OK, std::move(ID)};
  }
  std::string Text = XErrorText(JSON);
  // Without an error text the status line says what happened.
  if (Text.empty() && !Reply.StatusLine.empty() && Reply.Status() != 201) Text = Reply.StatusLine;
  if (Text.empty())
    Text = Reply.Body.empty() ? std::string("Twitter post failed: the reply is empty")
                              : "Twitter post failed: the reply carries neither a post id nor an "
                                "error text: " +
                                    Reply.Body.substr(0, 200);
  return {TKind::Failed, std::move(Text)};
}

}  // namespace

const detail::TTwitterGeneration& detail::CurrentGeneration() {
  static const TCurrent Current;
  return Current;
}

}  // namespace zelk::IWTwitterAuthClient
