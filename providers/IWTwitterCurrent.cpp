// TZIWTwitterAuthClient in current mode: the sign-in on the X API host with a fixed callback and
// returns routed by the request token, and posts through POST /2/tweets with a JSON body.
#include <algorithm>

#include "core/OAuth2Flow.h"
#include "platform/web/HttpRequest.h"
#include "providers/IWTwitterAuthClient.h"

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

void TZIWTwitterAuthClient::LoginCurrent(TIWApplication* WebApplication) {
  // The identifier is never sent: it only spends any earlier flow of this client.
  NewFlowIdentifier();
  FRequestToken.clear();
  FRequestTokenSecret.clear();
  const std::string Host = ProviderHost(phXApi);
  const TPairs OAuth = OAuthParams(App()->ID(), {}, {});
  const TPairs Form{{"oauth_callback", WebApplication->GetApplicationURL() + "/"}};
  const TSignedCall C =
      SignCall("POST", Host, kRequestTokenPath, OAuth, Form, App()->Secret(), std::string());
  std::string Reply;
  Https_Post11(Host, kRequestTokenPath, {C.Header, kFormType},
               "oauth_callback=" + URLEncode(Form.front().second), Reply);

  const TPairs Values = DecodeFormReply(Reply);
  const std::string Token = Value(Values, "oauth_token");
  const std::string Secret = Value(Values, "oauth_token_secret");
  if (Value(Values, "oauth_callback_confirmed") != "true" || Token.empty() || Secret.empty()) {
    // Nothing went to the browser yet: the result and the provider's text, no event.
    SetLoginResult(resFailed);
    std::string Text = ReplyText(Reply);
    SetLoginError(Text.empty() ? "Twitter sign-in failed: the request-token reply carries no token"
                               : Text);
    return;
  }
  FRequestToken = Token;
  FRequestTokenSecret = Secret;
  RegisterFlowToken(Token);
  WebApplication->GoToURL("https://" + Host + kAuthenticatePath +
                          "?oauth_token=" + URLEncode(Token));
}

void TZIWTwitterAuthClient::LoginResponseCurrent(const THttpRequest& Request) {
  const std::string Denied = Request.Query("denied");
  const std::string Token = Denied.empty() ? Request.Query("oauth_token") : Denied;
  if (FRequestToken.empty() || Token != FRequestToken) {
    SetLoginResult(resFailed);
    SetLoginError("Twitter sign-in failed: the return does not belong to the sign-in in progress");
  } else if (!Denied.empty()) {
    SetLoginResult(resFailed);
    SetLoginError("Access denied");
  } else if (const std::string Verifier = Request.Query("oauth_verifier"); Verifier.empty()) {
    SetLoginResult(resFailed);
    SetLoginError("Twitter sign-in failed: the return carries no \"oauth_verifier\"");
  } else {
    ExchangeCurrent(Verifier);
  }
  // An outcome spends the flow: its request token can be traded only once.
  FRequestToken.clear();
  FRequestTokenSecret.clear();
  ReachOutcome(Refused(Request));
  TZIWCustomCloudClient::LoginResponse(Request);
}

void TZIWTwitterAuthClient::ExchangeCurrent(const std::string& Verifier) {
  const std::string Host = ProviderHost(phXApi);
  const TPairs OAuth = OAuthParams(App()->ID(), FRequestToken, Verifier);
  const TSignedCall C =
      SignCall("POST", Host, kAccessTokenPath, OAuth, {}, App()->Secret(), FRequestTokenSecret);
  std::string Reply;
  Https_Post11(Host, kAccessTokenPath, {C.Header}, std::string(), Reply);

  const TPairs Values = DecodeFormReply(Reply);
  const std::string Token = Value(Values, "oauth_token");
  const std::string Secret = Value(Values, "oauth_token_secret");
  const std::string UserID = Value(Values, "user_id");
  const std::string ScreenName = Value(Values, "screen_name");
  if (Token.empty() || Secret.empty()) {
    SetLoginResult(resFailed);
    std::string Text = ReplyText(Reply);
    SetLoginError(Text.empty() ? "Twitter sign-in failed: the access-token reply carries no token"
                               : Text);
    return;
  }
  if (UserID.empty() || ScreenName.empty()) {
    SetLoginResult(resFailed);
    SetLoginError(
        "Twitter sign-in failed: the access-token reply carries no \"user_id\" or "
        "\"screen_name\"");
    return;
  }
  FToken = Token;
  FTokenSecret = Secret;
  SetLoginResult(resOK);
  SetLoginError(std::string());
  SetLoginID(UserID);
  SetLoginUsername(ScreenName);
}

void TZIWTwitterAuthClient::PostCurrent(const std::string& S) {
  std::string Body;
  try {
    Body = nlohmann::json{{"text", S}}.dump();
  } catch (const nlohmann::json::exception&) {
    // Nothing is sent: the provider would refuse the document, and replacing the bytes would
    // post a text the user did not write.
    PostFailed("Twitter post failed: the text is not valid UTF-8");
    return;
  }
  const std::string Host = ProviderHost(phXApi);
  // A JSON body is not signed: only the method, the URL and the OAuth parameters are.
  const TSignedCall C = SignCall("POST", Host, kTweetsPath, OAuthParams(App()->ID(), FToken, {}),
                                 {}, App()->Secret(), FTokenSecret);
  std::string Reply;
  std::string StatusLine;
  Https_Post11(Host, kTweetsPath, {C.Header, kJsonType}, Body, Reply, StatusLine);

  TJSONObject JSON;
  ParseJSON(Reply, JSON);
  if (JSON.IsObject("data")) {
    if (std::string ID = JSONString(JSON.Object("data"), "id"); !ID.empty()) {
      PostOK(ID);
      return;
    }
  }
  std::string Text = XErrorText(JSON);
  // Without an error text the status line says what happened.
  if (Text.empty() && !StatusLine.empty() && StatusLine.find(" 201") == std::string::npos)
    Text = StatusLine;
  if (Text.empty())
    Text = Reply.empty() ? std::string("Twitter post failed: the reply is empty")
                         : "Twitter post failed: the reply carries neither a post id nor an "
                           "error text: " +
                               Reply.substr(0, 200);
  PostFailed(Text);
}

void TZIWTwitterAuthClient::PostFailed(const std::string& Message) {
  if (FOnPostFailed) {
    const TIWPostFailedEvent Handler = FOnPostFailed;
    Handler(this, Message);
  }
}

void TZIWTwitterAuthClient::PostOK(const std::string& PostID) {
  if (FOnPostOK) {
    const TIWPostOKEvent Handler = FOnPostOK;
    Handler(this, PostID);
  }
}

}  // namespace zelk::IWTwitterAuthClient
