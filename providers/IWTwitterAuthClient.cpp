// TZIWTwitterAuthClient: the three legs of the sign-in and the status update.
#include "providers/IWTwitterAuthClient.h"

#include <openssl/crypto.h>

#include <mutex>

#include "core/OAuth2Flow.h"
#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWTwitterAuthClient {

using namespace IWZelkAuthBase;

namespace {

constexpr const char* kRequestTokenPath = "/oauth/request_token";
constexpr const char* kAuthorizePath = "/oauth/authorize";
constexpr const char* kAccessTokenPath = "/oauth/access_token";
constexpr const char* kStatusUpdatePath = "/1/statuses/update.json";

}  // namespace

TZIWTwitterAuthClient::TZIWTwitterAuthClient(rtl::TComponent* AOwner)
    : TZIWCustomCloudClient(AOwner) {}

TZIWTwitterAuthClient::~TZIWTwitterAuthClient() {
  // Stop routing first: a request thread must not reach a half-destroyed client.
  Detach();
}

void TZIWTwitterAuthClient::Login(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController();
  if (WebApplication == nullptr)
    throw rtl::Exception(
        "TZIWTwitterAuthClient.Login: WebApplication is not assigned; pass the session's "
        "application object so that the browser can be sent to Twitter");
  TZIWCustomCloudClient::Login(WebApplication);
  if (Api() == apCurrent) {
    LoginCurrent(WebApplication);
    return;
  }

  const std::string Identifier = NewFlowIdentifier();
  const std::string Callback = WebApplication->GetApplicationURL() + "/?clientid=" + Identifier;

  rtl::TStringList OAuth;
  OAuth.Add("oauth_consumer_key=" + URLEncode(App()->ID()));
  OAuth.Add("oauth_signature_method=HMAC-SHA1");
  OAuth.Add("oauth_timestamp=" + GenerateTimeStamp());
  OAuth.Add("oauth_nonce=" + GenerateNonce());
  OAuth.Add("oauth_version=1.0");
  rtl::TStringList Request;
  Request.Add("oauth_callback=" + Callback);

  const std::string Host = ProviderHost(phTwitterApi);
  // No token yet: the key is the consumer secret and "&".
  const std::string Reply =
      SignedPost(Host, kRequestTokenPath, OAuth, Request, App()->Secret(), std::string());

  // Twitter confirms that it will use our callback; anything else (an error document, an HTML
  // page, an empty body) is the failure, and its text is all we can tell the user.
  if (Reply.find("&oauth_callback_confirmed=true") == std::string::npos) {
    SetLoginResult(resFailed);
    SetLoginError(Reply);
    return;
  }
  const rtl::TStringList Values = ReadFormReply(Reply);
  const std::string Token = Values.Values("oauth_token");
  const std::string TokenSecret = Values.Values("oauth_token_secret");
  if (Token.empty() || TokenSecret.empty()) return;

  // The request-token secret stays here for the access-token call; it is not sent to the
  // browser, whose URLs end up in history and logs, and the authorize page does not read it.
  FRequestTokenSecret = TokenSecret;
  // The token goes on as Twitter wrote it (already encoded); only bytes no URL may hold are
  // escaped, so a malformed reply cannot break the redirect's header line.
  WebApplication->GoToURL("https://" + Host + kAuthorizePath +
                          "?oauth_token=" + EncodeURLUnsafe(Token));
}

void TZIWTwitterAuthClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  if (Api() == apCurrent) {
    LoginResponseCurrent(Request);
    return;
  }
  const std::string Token = Request.Query("oauth_token");
  const std::string Denied = Request.Query("denied");
  if (!Denied.empty()) {
    // Twitter puts the refused request token into "denied"; a token next to it changes nothing.
    SetLoginResult(resFailed);
    SetLoginError("Access denied");
    ReachOutcome(Refused(Request));
  } else if (!Token.empty()) {
    ExchangeRequestToken(Token, Request.Query("oauth_verifier"));
    ReachOutcome(Refused(Request));
  } else {
    // Twitter always sends one of the two keys back. A return without either did not come
    // from Twitter's authorize page: it must not report the previous sign-in again, and it
    // spends the identifier so that it cannot be replayed.
    SetLoginResult(resFailed);
    SetLoginError(
        "Twitter sign-in failed: the return carried neither \"oauth_token\" nor \"denied\"");
    SetLoginID(std::string());
    SetLoginUsername(std::string());
    ReachOutcome(Refused(Request));
  }
  TZIWCustomCloudClient::LoginResponse(Request);
}

void TZIWTwitterAuthClient::ExchangeRequestToken(const std::string& RequestToken,
                                                 const std::string& Verifier) {
  const std::string Host = ProviderHost(phTwitterApi);
  // Sorted by hand. The token and verifier come from the browser: encoding them keeps a
  // forged "&" from adding parameters to the signed request.
  std::string Params = "oauth_consumer_key=" + URLEncode(App()->ID());
  Params += "&oauth_nonce=" + GenerateNonce();
  Params += "&oauth_signature_method=HMAC-SHA1";
  Params += "&oauth_timestamp=" + GenerateTimeStamp();
  Params += "&oauth_token=" + URLEncode(RequestToken);
  // OAuth 1.0a binds the access token to the user's approval through the verifier.
  if (!Verifier.empty()) Params += "&oauth_verifier=" + URLEncode(Verifier);
  Params += "&oauth_version=1.0";

  const std::string BaseString =
      "GET&" + URLEncode("https://" + Host + kAccessTokenPath) + "&" + URLEncode(Params);
  const std::string Signature = OAuthSignature(BaseString, App()->Secret(), FRequestTokenSecret);
  std::string Reply;
  Https_Get(Host, std::string(kAccessTokenPath) + "?" + Params + "&oauth_signature=" + Signature,
            Reply);

  if (Reply.find("&user_id") == std::string::npos ||
      Reply.find("&screen_name") == std::string::npos) {
    SetLoginResult(resFailed);
    SetLoginError(std::string());
    return;
  }
  const rtl::TStringList Values = ReadFormReply(Reply);
  FToken = Values.Values("oauth_token");
  FTokenSecret = Values.Values("oauth_token_secret");
  const std::string UserID = Values.Values("user_id");
  const std::string ScreenName = Values.Values("screen_name");
  if (UserID.empty() || ScreenName.empty()) {
    SetLoginResult(resFailed);
    SetLoginError(std::string());
    return;
  }
  SetLoginResult(resOK);
  SetLoginID(UserID);
  SetLoginUsername(ScreenName);
}

void TZIWTwitterAuthClient::Post(const std::string& S) {
  auto L = Lock();
  if (Api() == apCurrent) {
    PostCurrent(S);
    return;
  }
  // Key and token enter raw here: Twitter's keys and tokens hold only letters, digits, "-" and
  // "_", which encoding leaves alone. A token from a malformed reply has the bytes no header
  // line may hold escaped, so that it cannot end the line or leave its quotes.
  rtl::TStringList OAuth;
  OAuth.Add("oauth_consumer_key=" + App()->ID());
  OAuth.Add("oauth_signature_method=HMAC-SHA1");
  OAuth.Add("oauth_timestamp=" + GenerateTimeStamp());
  OAuth.Add("oauth_nonce=" + GenerateNonce());
  OAuth.Add("oauth_version=1.0");
  OAuth.Add("oauth_token=" + EncodeURLUnsafe(FToken));
  rtl::TStringList Request;
  Request.Add("include_entities=true");
  Request.Add("status=" + S);
  Request.Add("trim_user=true");

  const std::string Reply = SignedPost(ProviderHost(phTwitterApi), kStatusUpdatePath, OAuth,
                                       Request, App()->Secret(), FTokenSecret);

  if (Reply.find("id_str") == std::string::npos) {
    if (FOnPostFailed) {
      const TIWPostFailedEvent Handler = FOnPostFailed;
      Handler(this, Reply);
    }
    return;
  }
  // Only a top-level "id_str" counts: the same name inside a nested object (the user, a quoted
  // status) is not the id of this update.
  TJSONObject JSON;
  ParseJSON(Reply, JSON);
  if (JSON.Has("id_str") && FOnPostOK) {
    const TIWPostOKEvent Handler = FOnPostOK;
    Handler(this, JSON.Text("id_str"));
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
    Info.State = {C::StateField("AccessToken", &C::FToken),
                  C::StateField("AccessTokenSecret", &C::FTokenSecret),
                  // Current mode: the request token its return must carry.
                  C::StateField("RequestToken", &C::FRequestToken),
                  // The access-token exchange of the sign-in in progress is signed with it.
                  C::StateField("RequestTokenSecret", &C::FRequestTokenSecret)};
    rtl::TClassRegistry::RegisterClass(std::move(Info));
  });
}

void TZIWTwitterAuthClient::SignOut() {
  auto L = Lock();
  // The user's access token and secret, and those of a sign-in in progress, are forgotten: a
  // post after signing out has nothing to sign with.
  for (std::string* Secret : {&FToken, &FTokenSecret, &FRequestTokenSecret, &FRequestToken}) {
    OPENSSL_cleanse(Secret->data(), Secret->size());
    Secret->clear();
  }
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWTwitterAuthClient
