#include "providers/IWGAuthClient.h"

#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWGAuthClient {

using namespace IWZelkAuthBase;

namespace {

const char* const kFormHeader = "Content-Type: application/x-www-form-urlencoded";
// Scope identifiers are Google's names for the grants, not addresses on the API host: they stay
// the same when the endpoint table points the API host elsewhere (a proxy, a test double).
const char* const kProfileScope = "https://www.googleapis.com/auth/userinfo.profile";
const char* const kEmailScope = "https://www.googleapis.com/auth/userinfo.email";

}  // namespace

// ---------------------------------------------------------------------------------------------
// TGUser

std::string TGUser::Email() const {
  std::lock_guard L(FMutex);
  return FEmail;
}

std::string TGUser::Gender() const {
  std::lock_guard L(FMutex);
  return FGender;
}

std::string TGUser::Picture() const {
  std::lock_guard L(FMutex);
  return FPicture;
}

void TGUser::SetPicture(std::string Value) {
  std::lock_guard L(FMutex);
  FPicture = std::move(Value);
}

void TGUser::SetEmail(std::string Value) {
  std::lock_guard L(FMutex);
  FEmail = std::move(Value);
}

void TGUser::SetGender(std::string Value) {
  std::lock_guard L(FMutex);
  FGender = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// TZIWGAuthClient

TZIWGAuthClient::TZIWGAuthClient(rtl::TComponent* AOwner)
    : TZIWCustomCloudClient(AOwner), FUser(std::make_unique<TGUser>()) {}

TZIWGAuthClient::~TZIWGAuthClient() {
  Detach();
}

void TZIWGAuthClient::Login(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController();
  if (WebApplication == nullptr)
    throw rtl::Exception(
        "TZIWGAuthClient.Login: WebApplication is not assigned; pass the "
        "session's application object so the browser can be redirected");
  TZIWCustomCloudClient::Login(WebApplication);
  const std::string Id = NewFlowIdentifier();
  if (Api() == apCurrent) {
    LoginCurrent(WebApplication, Id);
    return;
  }

  FUrl = URLEncode(WebApplication->GetApplicationURL() + "/");

  std::string Url = "https://" + ProviderHost(phGoogleAccounts) + "/o/oauth2/auth";
  Url += "?scope=" + URLEncode(kProfileScope);
  // Scopes are separated by a blank, which the plus sign stands for in a query.
  if (FScopes.Contains(gEmail)) Url += "+" + URLEncode(kEmailScope);
  Url += "&state=" + Id;
  Url += "&redirect_uri=" + FUrl;
  Url += "&response_type=code";
  Url += "&client_id=" + App()->ID();
  Url += "&approval_prompt=force";
  WebApplication->GoToURL(Url);
}

void TZIWGAuthClient::LoginCurrent(TIWApplication* WebApplication, const std::string& Id) {
  FFlow.Begin(Id, WebApplication->GetApplicationURL() + "/", true);
  const TParams Params = {
      {"client_id", App()->ID()},
      {"redirect_uri", FFlow.RedirectURI()},
      {"response_type", "code"},
      {"scope", FScopes.Contains(gEmail) ? "openid profile email" : "openid profile"},
      {"state", Id},
      {"code_challenge", FFlow.Challenge()},
      {"code_challenge_method", "S256"}};
  WebApplication->GoToURL(TOAuth2CodeFlow::AuthorizationURL(
      "https://" + ProviderHost(phGoogleAccounts) + "/o/oauth2/v2/auth", Params));
}

TOAuth2Call TZIWGAuthClient::TokenCall(const std::string& Code, const std::string& RedirectURI,
                                       const std::string& Verifier) const {
  TOAuth2Call Call;
  Call.Host = ProviderHost(phGoogleOAuth2);
  Call.Path = "/token";
  Call.HeaderLines = {kFormHeader, "Accept: application/json"};
  Call.Post = true;
  Call.Data = EncodeQuery({{"code", Code},
                           {"client_id", App()->ID()},
                           {"client_secret", App()->Secret()},
                           {"redirect_uri", RedirectURI},
                           {"grant_type", "authorization_code"},
                           {"code_verifier", Verifier}});
  return Call;
}

TOAuth2Call TZIWGAuthClient::ProfileCall(const std::string& Token) const {
  TOAuth2Call Call;
  Call.Host = ProviderHost(phGoogleOpenId);
  Call.Path = "/v1/userinfo";
  Call.HeaderLines = {"Authorization: Bearer " + Token, "Accept: application/json"};
  return Call;
}

bool TZIWGAuthClient::MapProfile(const TJSONObject& Profile) {
  const std::string Sub = JSONString(Profile, "sub");
  if (Sub.empty()) return false;
  SetLoginID(Sub);
  SetLoginUsername(JSONString(Profile, "name"));
  // An address Google has not verified may belong to someone else.
  const nlohmann::json& Doc = Profile.Json();
  const auto Verified = Doc.find("email_verified");
  const bool IsVerified =
      Verified != Doc.end() && ((Verified->is_boolean() && Verified->get<bool>()) ||
                                (Verified->is_string() && Verified->get<std::string>() == "true"));
  if (FScopes.Contains(gEmail) && IsVerified && !JSONString(Profile, "email").empty())
    FUser->SetEmail(JSONString(Profile, "email"));
  if (!JSONString(Profile, "picture").empty()) FUser->SetPicture(JSONString(Profile, "picture"));
  return true;
}

void TZIWGAuthClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  if (Api() == apCurrent) {
    CompleteCurrentLogin(Request, FFlow, *this);
    return;
  }
  const std::string Code = Request.Query("code");
  const std::string Error = Request.Query("error");

  if (!Error.empty() || Code.empty()) {
    SetLoginResult(resFailed);
    SetLoginError(Error);
  } else {
    // The code comes from the browser: encoded, it cannot add parameters to the body.
    const std::string Body = "code=" + URLEncode(Code) + "&client_id=" + URLEncode(App()->ID()) +
                             "&client_secret=" + URLEncode(App()->Secret()) +
                             "&redirect_uri=" + FUrl + "&grant_type=authorization_code";
    std::string Reply;
    Https_Post(ProviderHost(phGoogleAccounts), "/o/oauth2/token", kFormHeader, Body, Reply);
    std::string Token;
    {
      TJSONObject Json;
      ParseJSON(Reply, Json);
      Token = Json.Text("access_token");
    }
    if (Token.empty()) {
      SetLoginResult(resFailed);
    } else {
      Https_Get(ProviderHost(phGoogleApis), "/oauth2/v1/userinfo?access_token=" + URLEncode(Token),
                Reply);
      TJSONObject Profile;
      ParseJSON(Reply, Profile);
      if (Profile.Has("id") && Profile.Has("name")) {
        SetLoginResult(resOK);
        SetLoginID(Profile.Text("id"));
        SetLoginUsername(Profile.Text("name"));
        if (FScopes.Contains(gEmail) && Profile.Has("email"))
          FUser->SetEmail(Profile.Text("email"));
        if (Profile.Has("gender")) FUser->SetGender(Profile.Text("gender"));
      } else {
        SetLoginResult(resFailed);
      }
    }
  }
  ReachOutcome(Refused(Request));
  TZIWCustomCloudClient::LoginResponse(Request);
}

TIWScopes TZIWGAuthClient::Scopes() const {
  auto L = Lock();
  return FScopes;
}

void TZIWGAuthClient::SetScopes(TIWScopes Value) {
  auto L = Lock();
  FScopes = Value;
}

TGUser* TZIWGAuthClient::User() const {
  auto L = Lock();
  return FUser.get();
}

void TZIWGAuthClient::SetUser(std::unique_ptr<TGUser> Value) {
  auto L = Lock();
  if (Value == nullptr)
    throw rtl::Exception("TZIWGAuthClient.User: a user record is required, not none");
  FUser = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// Class metadata

void RegisterClasses() {
  using namespace rtl;
  using C = TZIWGAuthClient;
  RegisterAuthBaseClasses();
  TClassInfo Info;
  Info.Name = "TZIWGAuthClient";
  Info.ParentName = "TZIWCustomCloudClient";
  Info.Create = [](TComponent* Owner) -> TComponent* { return new C(Owner); };
  Info.Properties = {props::Object<C>("App", "TIWApp", [](C* Client) { return Client->App(); }),
                     props::Set<C, TGScope>(
                         "Scopes", {"gEmail"}, [](C* Client) { return Client->Scopes(); },
                         [](C* Client, TIWScopes S) { Client->SetScopes(S); }),
                     ApiProperty<C>(), props::Event("OnLoginOK"), props::Event("OnLoginFailed")};
  using U = TGUser;
  const auto UserText = UserState<C, U>;
  Info.State = {UserText("UserEmail", &U::Email, &U::SetEmail),
                UserText("UserGender", &U::Gender, &U::SetGender),
                UserText("UserPicture", &U::Picture, &U::SetPicture),
                // Classic mode: the return address as the authorization URL carried it.
                C::StateField("ReturnURL", &C::FUrl)};
  for (auto& P : CodeFlowState<C>([](C*Client, const auto&Use) {
         auto L = Client->Lock();
         Use(Client->FFlow);
       }))
    Info.State.push_back(std::move(P));
  TClassRegistry::RegisterClass(std::move(Info));
}

void TZIWGAuthClient::SignOut() {
  auto L = Lock();
  FFlow.Forget();
  FUser->SetEmail({});
  FUser->SetGender({});
  FUser->SetPicture({});
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWGAuthClient
