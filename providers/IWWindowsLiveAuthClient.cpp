#include "providers/IWWindowsLiveAuthClient.h"

#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWWindowsLiveAuthClient {

using namespace IWZelkAuthBase;

namespace {

const char* const kFormHeader = "Content-Type: application/x-www-form-urlencoded";
const char* const kCurrentScopes = "openid profile email User.Read";

bool IsTenant(std::string_view V) {
  if (V.empty() || V.size() > 255) return false;
  return V.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
             std::string_view::npos &&
         V != "." && V != "..";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TWindowsLiveUser

std::string TWindowsLiveUser::Email() const {
  std::lock_guard L(FMutex);
  return FEmail;
}

std::string TWindowsLiveUser::Birthday() const {
  std::lock_guard L(FMutex);
  return FBirthday;
}

std::string TWindowsLiveUser::Gender() const {
  std::lock_guard L(FMutex);
  return FGender;
}

void TWindowsLiveUser::SetEmail(std::string Value) {
  std::lock_guard L(FMutex);
  FEmail = std::move(Value);
}

void TWindowsLiveUser::SetBirthday(std::string Value) {
  std::lock_guard L(FMutex);
  FBirthday = std::move(Value);
}

void TWindowsLiveUser::SetGender(std::string Value) {
  std::lock_guard L(FMutex);
  FGender = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// TZIWWindowsLiveAuthClient

TZIWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient(rtl::TComponent* AOwner)
    : TZIWCustomCloudClient(AOwner), FUser(std::make_unique<TWindowsLiveUser>()) {}

TZIWWindowsLiveAuthClient::~TZIWWindowsLiveAuthClient() {
  Detach();
}

void TZIWWindowsLiveAuthClient::Login(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController();
  if (WebApplication == nullptr)
    throw rtl::Exception(
        "TZIWWindowsLiveAuthClient.Login: WebApplication is not assigned; pass "
        "the session's application object so the browser can be redirected");
  TZIWCustomCloudClient::Login(WebApplication);
  const std::string Id = NewFlowIdentifier();
  if (Api() == apCurrent) {
    LoginCurrent(WebApplication, Id);
    return;
  }

  const std::string Base = !FStandaloneRedirectURL.empty() ? FStandaloneRedirectURL
                                                           : WebApplication->GetApplicationURL();
  FUrl = Base + "?clientid=" + Id;

  std::string ScopeList = "wl.basic";
  if (FScopes.Contains(wlBirthDay)) ScopeList += ",wl.birthday";
  if (FScopes.Contains(wlEmail)) ScopeList += ",wl.emails";

  std::string Url = "https://" + ProviderHost(phWindowsLiveLogin) + "/oauth20_authorize.srf";
  Url += "?client_id=" + App()->ID();
  Url += "&scope=" + ScopeList;
  Url += "&response_type=code";
  Url += "&redirect_uri=" + FUrl;
  WebApplication->GoToURL(Url);
}

void TZIWWindowsLiveAuthClient::LoginCurrent(TIWApplication* WebApplication,
                                             const std::string& Id) {
  FFlow.Begin(Id,
              !FStandaloneRedirectURL.empty() ? FStandaloneRedirectURL
                                              : WebApplication->GetApplicationURL() + "/",
              true);
  const TParams Params = {{"client_id", App()->ID()},
                          {"response_type", "code"},
                          {"redirect_uri", FFlow.RedirectURI()},
                          {"response_mode", "query"},
                          {"scope", kCurrentScopes},
                          {"state", Id},
                          {"code_challenge", FFlow.Challenge()},
                          {"code_challenge_method", "S256"}};
  WebApplication->GoToURL(TOAuth2CodeFlow::AuthorizationURL(
      "https://" + ProviderHost(phMicrosoftLogin) + "/" + FTenant + "/oauth2/v2.0/authorize",
      Params));
}

TOAuth2Call TZIWWindowsLiveAuthClient::TokenCall(const std::string& Code,
                                                 const std::string& RedirectURI,
                                                 const std::string& Verifier) const {
  TOAuth2Call Call;
  Call.Host = ProviderHost(phMicrosoftLogin);
  Call.Path = "/" + FTenant + "/oauth2/v2.0/token";
  Call.HeaderLines = {kFormHeader, "Accept: application/json"};
  Call.Post = true;
  Call.Data = EncodeQuery({{"client_id", App()->ID()},
                           {"scope", kCurrentScopes},
                           {"code", Code},
                           {"redirect_uri", RedirectURI},
                           {"grant_type", "authorization_code"},
                           {"client_secret", App()->Secret()},
                           {"code_verifier", Verifier}});
  return Call;
}

TOAuth2Call TZIWWindowsLiveAuthClient::ProfileCall(const std::string& Token) const {
  TOAuth2Call Call;
  Call.Host = ProviderHost(phMicrosoftGraph);
  Call.Path = "/v1.0/me";
  Call.HeaderLines = {"Authorization: Bearer " + Token, "Accept: application/json"};
  return Call;
}

bool TZIWWindowsLiveAuthClient::MapProfile(const TJSONObject& Profile) {
  const std::string Id = JSONString(Profile, "id");
  if (Id.empty()) return false;
  SetLoginID(Id);
  SetLoginUsername(JSONString(Profile, "displayName"));
  // "mail" is null for an account without a mailbox; the sign-in name is then an address too.
  std::string Mail = JSONString(Profile, "mail");
  if (Mail.empty()) Mail = JSONString(Profile, "userPrincipalName");
  if (!Mail.empty()) FUser->SetEmail(std::move(Mail));
  return true;
}

bool TZIWWindowsLiveAuthClient::SignIn(const THttpRequest& Request) {
  const std::string Code = Request.Query("code");
  if (Code.empty() || Request.Query("clientid").empty()) return false;

  // The code comes from the browser: encoded, it cannot add parameters to the body.
  const std::string Body = "client_id=" + URLEncode(App()->ID()) +
                           "&redirect_uri=" + URLEncode(FUrl) +
                           "&client_secret=" + URLEncode(App()->Secret()) +
                           "&code=" + URLEncode(Code) + "&grant_type=authorization_code";
  std::string Reply;
  Https_Post(ProviderHost(phWindowsLiveLogin), "/oauth20_token.srf", kFormHeader, Body, Reply);
  if (Reply.empty()) return false;

  std::string Token;
  {
    TJSONObject Json;
    ParseJSON(Reply, Json);
    Token = Json.Text("access_token");
  }
  if (Token.empty()) return false;

  Https_Get(ProviderHost(phWindowsLiveApis), "/v5.0/me?access_token=" + URLEncode(Token), Reply);
  if (Reply.empty()) return false;

  TJSONObject Profile;
  ParseJSON(Reply, Profile);
  if (!Profile.Has("id") || !Profile.Has("name")) return false;
  SetLoginResult(resOK);
  SetLoginID(Profile.Text("id"));
  SetLoginUsername(Profile.Text("name"));
  if (Profile.Has("gender")) FUser->SetGender(Profile.Text("gender"));
  if (FScopes.Contains(wlBirthDay) && Profile.Has("birth_day") && Profile.Has("birth_month") &&
      Profile.Has("birth_year"))
    FUser->SetBirthday(Profile.Text("birth_year") + "\\" + Profile.Text("birth_month") + "\\" +
                       Profile.Text("birth_day"));
  if (FScopes.Contains(wlEmail) && Profile.IsObject("emails")) {
    const TJSONObject Emails = Profile.Object("emails");
    if (Emails.Has("preferred"))
      FUser->SetEmail(Emails.Text("preferred"));
    else if (Emails.Has("account"))
      FUser->SetEmail(Emails.Text("account"));
  }
  return true;
}

void TZIWWindowsLiveAuthClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  if (Api() == apCurrent) {
    CompleteCurrentLogin(Request, FFlow, *this);
    return;
  }
  if (!SignIn(Request)) {
    SetLoginResult(resFailed);
    SetLoginError({});
  }
  ReachOutcome(Refused(Request));
  TZIWCustomCloudClient::LoginResponse(Request);
}

TIWScopes TZIWWindowsLiveAuthClient::Scopes() const {
  auto L = Lock();
  return FScopes;
}

void TZIWWindowsLiveAuthClient::SetScopes(TIWScopes Value) {
  auto L = Lock();
  FScopes = Value;
}

std::string TZIWWindowsLiveAuthClient::StandaloneRedirectURL() const {
  auto L = Lock();
  return FStandaloneRedirectURL;
}

void TZIWWindowsLiveAuthClient::SetStandaloneRedirectURL(std::string Value) {
  auto L = Lock();
  FStandaloneRedirectURL = std::move(Value);
}

std::string TZIWWindowsLiveAuthClient::Tenant() const {
  auto L = Lock();
  return FTenant;
}

void TZIWWindowsLiveAuthClient::SetTenant(std::string Value) {
  if (!IsTenant(Value))
    throw rtl::Exception("TZIWWindowsLiveAuthClient.Tenant: \"" + Value.substr(0, 40) +
                         "\" is not \"common\", \"consumers\", \"organizations\" or a tenant id "
                         "or domain");
  auto L = Lock();
  FTenant = std::move(Value);
}

TWindowsLiveUser* TZIWWindowsLiveAuthClient::User() const {
  auto L = Lock();
  return FUser.get();
}

void TZIWWindowsLiveAuthClient::SetUser(std::unique_ptr<TWindowsLiveUser> Value) {
  auto L = Lock();
  if (Value == nullptr)
    throw rtl::Exception("TZIWWindowsLiveAuthClient.User: a user record is required, not none");
  FUser = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// Class metadata

void RegisterClasses() {
  using namespace rtl;
  using C = TZIWWindowsLiveAuthClient;
  RegisterAuthBaseClasses();
  TClassInfo Info;
  Info.Name = "TZIWWindowsLiveAuthClient";
  Info.ParentName = "TZIWCustomCloudClient";
  Info.Create = [](TComponent* Owner) -> TComponent* { return new C(Owner); };
  Info.Properties = {
      props::Object<C>("App", "TIWApp", [](C* Client) { return Client->App(); }),
      props::Set<C, TWindowsLiveScope>(
          "Scopes", {"wlEmail", "wlBirthDay"}, [](C* Client) { return Client->Scopes(); },
          [](C* Client, TIWScopes S) { Client->SetScopes(S); }),
      props::String<C>(
          "StandaloneRedirectURL", [](C* Client) { return Client->StandaloneRedirectURL(); },
          [](C* Client, std::string V) { Client->SetStandaloneRedirectURL(std::move(V)); }),
      ApiProperty<C>(),
      props::String<C>(
          "Tenant", [](C* Client) { return Client->Tenant(); },
          [](C* Client, std::string V) { Client->SetTenant(std::move(V)); }, std::string("common")),
      props::Event("OnLoginOK"),
      props::Event("OnLoginFailed")};
  using U = TWindowsLiveUser;
  const auto UserText = UserState<C, U>;
  Info.State = {UserText("UserEmail", &U::Email, &U::SetEmail),
                UserText("UserBirthday", &U::Birthday, &U::SetBirthday),
                UserText("UserGender", &U::Gender, &U::SetGender),
                // Classic mode: the return address the token request repeats.
                C::StateField("ReturnURL", &C::FUrl)};
  for (auto& P : CodeFlowState<C>([](C*Client, const auto&Use) {
         auto L = Client->Lock();
         Use(Client->FFlow);
       }))
    Info.State.push_back(std::move(P));
  TClassRegistry::RegisterClass(std::move(Info));
}

void TZIWWindowsLiveAuthClient::SignOut() {
  auto L = Lock();
  FFlow.Forget();
  FUser->SetEmail({});
  FUser->SetBirthday({});
  FUser->SetGender({});
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWWindowsLiveAuthClient
