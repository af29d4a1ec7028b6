// TZIWTwitterAuthClient: the client's operations through the generic OAuth 1.0a flow, and the
// classic generation of the API (api.twitter.com) as a description of that flow.
#include "providers/IWTwitterAuthClient.h"

#include <mutex>

#include "core/OAuth2Flow.h"
#include "platform/rtl/ClassRegistry.h"
#include "providers/TwitterGenerationDetail.h"

namespace zelk::IWTwitterAuthClient {

using namespace IWZelkAuthBase;

namespace {

constexpr const char* kRequestTokenPath = "/oauth/request_token";
constexpr const char* kAuthorizePath = "/oauth/authorize";
constexpr const char* kAccessTokenPath = "/oauth/access_token";
constexpr const char* kStatusUpdatePath = "/1/statuses/update.json";

// The classic API on api.twitter.com: a callback per flow, routed by the identifier it carries;
// every call over HTTP/1.0 with the OAuth entries in the header as they were always sent.
class TClassic final : public detail::TTwitterGeneration {
 public:
  bool RoutesByRequestToken() const override { return false; }
  std::string Callback(const std::string& ApplicationURL,
                       const std::string& Identifier) const override {
    return ApplicationURL + "/?clientid=" + Identifier;
  }
  TOAuth1RequestToken RequestToken(const TOAuth1Consumer& Consumer,
                                   const std::string& Callback) const override;
  std::string AuthorizeURL(const TOAuth1Consumer& Consumer,
                           const std::string& Token) const override {
    // The token goes on as Twitter wrote it (already encoded); only bytes no URL may hold are
    // escaped, so a malformed reply cannot break the redirect's header line.
    return "https://" + Consumer.Endpoints.Host(phTwitterApi) + kAuthorizePath +
           "?oauth_token=" + EncodeURLUnsafe(Token);
  }
  TOAuth1Return ReadReturn(const THttpRequest& Request,
                           const std::string& FlowToken) const override;
  TOAuth1Access AccessToken(const TOAuth1Consumer& Consumer, const TOAuth1Token& Request,
                            const std::string& Verifier) const override;
  detail::TPostOutcome Post(const TOAuth1Consumer& Consumer, const TOAuth1Token& Access,
                            const std::string& S) const override;
};

TOAuth1RequestToken TClassic::RequestToken(const TOAuth1Consumer& Consumer,
                                           const std::string& Callback) const {
  rtl::TStringList OAuth;
  OAuth.Add("oauth_consumer_key=" + URLEncode(Consumer.Key));
  OAuth.Add("oauth_signature_method=HMAC-SHA1");
  OAuth.Add("oauth_timestamp=" + GenerateTimeStamp());
  OAuth.Add("oauth_nonce=" + GenerateNonce());
  OAuth.Add("oauth_version=1.0");
  rtl::TStringList Request;
  Request.Add("oauth_callback=" + Callback);
  // No token yet: the key is the consumer secret and "&".
  const std::string Reply =
      SignedPost(Consumer.Endpoints.Host(phTwitterApi), kRequestTokenPath, OAuth, Request,
                 Consumer.Secret, std::string(), Consumer.Transport);

  TOAuth1RequestToken R;
  // Twitter confirms that it will use our callback; anything else (an error document, an HTML
  // page, an empty body) is the failure, and its text is all we can tell the user.
  if (Reply.find("&oauth_callback_confirmed=true") == std::string::npos) {
    R.Refusal = TOAuth1Outcome::Failed(Reply);
    return R;
  }
  // A confirmed reply without token or secret changes nothing.
  const rtl::TStringList Values = ReadFormReply(Reply);
  const std::string Token = Values.Values("oauth_token");
  const std::string TokenSecret = Values.Values("oauth_token_secret");
  if (!Token.empty() && !TokenSecret.empty()) R.Granted = {Token, TokenSecret};
  return R;
}

TOAuth1Return TClassic::ReadReturn(const THttpRequest& Request,
                                   const std::string& /*FlowToken*/) const {
  TOAuth1Return R;
  const std::string Token = Request.Query("oauth_token");
  if (!Request.Query("denied").empty()) {
    // Twitter puts the refused request token into "denied"; a token next to it changes nothing.
    R.Outcome = TOAuth1Outcome::Failed("Access denied");
  } else if (!Token.empty()) {
    R.Trade = true;
    R.Token = Token;
    R.Verifier = Request.Query("oauth_verifier");
  } else {
    // Twitter always sends one of the two keys back. A return without either did not come
    // from Twitter's authorize page: it must not report the previous sign-in again, and it
    // spends the identifier so that it cannot be replayed.
    R.Outcome = TOAuth1Outcome::Failed(
        "Twitter sign-in failed: the return carried neither \"oauth_token\" nor \"denied\"");
    R.Outcome.ClearUser = true;
  }
  return R;
}

TOAuth1Access TClassic::AccessToken(const TOAuth1Consumer& Consumer, const TOAuth1Token& Request,
                                    const std::string& Verifier) const {
  const std::string Host = Consumer.Endpoints.Host(phTwitterApi);
  // Sorted by hand. The token and verifier come from the browser: encoding them keeps a
  // forged "&" from adding parameters to the signed request.
  std::string Params = "oauth_consumer_key=" + URLEncode(Consumer.Key);
  Params += "&oauth_nonce=" + GenerateNonce();
  Params += "&oauth_signature_method=HMAC-SHA1";
  Params += "&oauth_timestamp=" + GenerateTimeStamp();
  Params += "&oauth_token=" + URLEncode(Request.Token);
  // OAuth 1.0a binds the access token to the user's approval through the verifier.
  if (!Verifier.empty()) Params += "&oauth_verifier=" + URLEncode(Verifier);
  Params += "&oauth_version=1.0";

  const std::string BaseString =
      "GET&" + URLEncode("https://" + Host + kAccessTokenPath) + "&" + URLEncode(Params);
  const std::string Signature = OAuthSignature(BaseString, Consumer.Secret, Request.Secret);
  const std::string Reply =
      Consumer.Transport
          .Get(Host, std::string(kAccessTokenPath) + "?" + Params + "&oauth_signature=" + Signature)
          .Body;

  TOAuth1Access A;
  if (Reply.find("&user_id") == std::string::npos ||
      Reply.find("&screen_name") == std::string::npos) {
    A.Outcome = TOAuth1Outcome::Failed(std::string());
    return A;
  }
  // The tokens the reply names are the user's from now on, even when it names no user.
  const rtl::TStringList Values = ReadFormReply(Reply);
  A.Access = TOAuth1Token{Values.Values("oauth_token"), Values.Values("oauth_token_secret")};
  A.Outcome.UserID = Values.Values("user_id");
  A.Outcome.ScreenName = Values.Values("screen_name");
  if (A.Outcome.UserID.empty() || A.Outcome.ScreenName.empty())
    A.Outcome = TOAuth1Outcome::Failed(std::string());
  else
    A.Outcome.Result = resOK;
  return A;
}

detail::TPostOutcome TClassic::Post(const TOAuth1Consumer& Consumer, const TOAuth1Token& Access,
                                    const std::string& S) const {
  // Key and token enter raw here: Twitter's keys and tokens hold only letters, digits, "-" and
  // "_", which encoding leaves alone. A token from a malformed reply has the bytes no header
  // line may hold escaped, so that it cannot end the line or leave its quotes.
  rtl::TStringList OAuth;
  OAuth.Add("oauth_consumer_key=" + Consumer.Key);
  OAuth.Add("oauth_signature_method=HMAC-SHA1");
  OAuth.Add("oauth_timestamp=" + GenerateTimeStamp());
  OAuth.Add("oauth_nonce=" + GenerateNonce());
  OAuth.Add("oauth_version=1.0");
  OAuth.Add("oauth_token=" + EncodeURLUnsafe(Access.Token));
  rtl::TStringList Request;
  Request.Add("include_entities=true");
  Request.Add("status=" + S);
  Request.Add("trim_user=true");
  const std::string Reply =
      SignedPost(Consumer.Endpoints.Host(phTwitterApi), kStatusUpdatePath, OAuth, Request,
                 Consumer.Secret, Access.Secret, Consumer.Transport);

  using TKind = detail::TPostOutcome::TKind;
  if (Reply.find("id_str") == std::string::npos) return {TKind::Failed, Reply};
  // Only a top-level "id_str" counts: the same name inside a nested object (the user, a quoted
  // status) is not the id of this update, and such a reply reports nothing.
  TJSONObject JSON;
  ParseJSON(Reply, JSON);
  if (!JSON.Has("id_str")) return {};
  return {TKind::OK, JSON.Text("id_str")};
}

// The generations by the Api value that names them.
const detail::TTwitterGeneration& GenerationOf(TIWApi Api) {
  static_assert(static_cast<int>(apClassic) == 0 && static_cast<int>(apCurrent) == 1);
  static const detail::TTwitterGeneration* const Generations[] = {&detail::ClassicGeneration(),
                                                                  &detail::CurrentGeneration()};
  return *Generations[static_cast<std::size_t>(Api)];
}

}  // namespace

const detail::TTwitterGeneration& detail::ClassicGeneration() {
  static const TClassic Classic;
  return Classic;
}

TZIWTwitterAuthClient::TZIWTwitterAuthClient(rtl::TComponent* AOwner)
    : TZIWCustomCloudClient(AOwner) {}

TZIWTwitterAuthClient::~TZIWTwitterAuthClient() {
  // Stop routing first: a request thread must not reach a half-destroyed client.
  Detach();
}

const detail::TTwitterGeneration& TZIWTwitterAuthClient::Generation() {
  if (FGeneration == nullptr) FGeneration = &GenerationOf(Api());
  return *FGeneration;
}

TOAuth1Consumer TZIWTwitterAuthClient::Consumer() const {
  return {App()->ID(), App()->Secret(), Transport(), Endpoints()};
}

void TZIWTwitterAuthClient::Apply(const TOAuth1Outcome& Outcome) {
  if (Outcome.Result != resNone) SetLoginResult(Outcome.Result);
  if (Outcome.Error) SetLoginError(*Outcome.Error);
  if (Outcome.Result == resOK || Outcome.ClearUser) {
    SetLoginID(Outcome.UserID);
    SetLoginUsername(Outcome.ScreenName);
  }
}

void TZIWTwitterAuthClient::Login(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController();
  if (WebApplication == nullptr)
    throw rtl::Exception(
        "TZIWTwitterAuthClient.Login: WebApplication is not assigned; pass the session's "
        "application object so that the browser can be sent to Twitter");
  TZIWCustomCloudClient::Login(WebApplication);
  // The generation is chosen here, once for the whole flow.
  FGeneration = &GenerationOf(Api());
  const std::string Identifier = NewFlowIdentifier();
  const TOAuth1Start Started =
      FFlow.Start(*FGeneration, Consumer(), WebApplication->GetApplicationURL(), Identifier);
  Apply(Started.Outcome);
  if (!Started.RouteToken.empty()) RegisterFlowToken(Started.RouteToken);
  if (!Started.RedirectURL.empty()) WebApplication->GoToURL(Started.RedirectURL);
}

void TZIWTwitterAuthClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  Apply(FFlow.Return(Generation(), Consumer(), Request));
  ReachOutcome(Refused(Request));
  TZIWCustomCloudClient::LoginResponse(Request);
}

void TZIWTwitterAuthClient::Post(const std::string& S) {
  auto L = Lock();
  const detail::TPostOutcome Outcome = Generation().Post(Consumer(), FFlow.Access(), S);
  if (Outcome.Kind == detail::TPostOutcome::TKind::OK)
    PostOK(Outcome.Text);
  else if (Outcome.Kind == detail::TPostOutcome::TKind::Failed)
    PostFailed(Outcome.Text);
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

TIWPostFailedEvent TZIWTwitterAuthClient::OnPostFailed() const {
  auto L = Lock();
  return FOnPostFailed;
}

void TZIWTwitterAuthClient::SetOnPostFailed(TIWPostFailedEvent Value) {
  auto L = Lock();
  FOnPostFailed = std::move(Value);
}

TIWPostOKEvent TZIWTwitterAuthClient::OnPostOK() const {
  auto L = Lock();
  return FOnPostOK;
}

void TZIWTwitterAuthClient::SetOnPostOK(TIWPostOKEvent Value) {
  auto L = Lock();
  FOnPostOK = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// Class metadata for the designer and form files.

void RegisterTwitterAuthClientClass() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    // The ancestors (and ServerController, which the base publishes) come first.
    RegisterAuthBaseClasses();
    rtl::TClassInfo Info;
    Info.Name = "TZIWTwitterAuthClient";
    Info.ParentName = "TZIWCustomCloudClient";
    Info.Create = [](rtl::TComponent* Owner) -> rtl::TComponent* {
      return new TZIWTwitterAuthClient(Owner);
    };
    Info.Properties.push_back(rtl::props::Object<TZIWTwitterAuthClient>(
        "App", "TIWApp", [](TZIWTwitterAuthClient* C) { return C->App(); }));
    Info.Properties.push_back(ApiProperty<TZIWTwitterAuthClient>());
    for (const char* Event : {"OnLoginOK", "OnLoginFailed", "OnPostFailed", "OnPostOK"})
      Info.Properties.push_back(rtl::props::Event(Event));
    using C = TZIWTwitterAuthClient;
    // The access token and secret Post signs with; the request token the return must carry
    // (routed by request token) and the secret the access-token exchange is signed with.
    Info.State = OAuth1FlowState<C>([](C* Client, const auto& Fn) {
      auto L = Client->Lock();
      Fn(Client->FFlow);
    });
    rtl::TClassRegistry::RegisterClass(std::move(Info));
  });
}

void TZIWTwitterAuthClient::SignOut() {
  auto L = Lock();
  // The user's access token and secret, and those of a sign-in in progress, are forgotten: a
  // post after signing out has nothing to sign with. The next use chooses the generation anew.
  FFlow.Forget();
  FGeneration = nullptr;
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWTwitterAuthClient
