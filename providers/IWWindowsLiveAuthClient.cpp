#include "providers/IWWindowsLiveAuthClient.h"

#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWWindowsLiveAuthClient {

using namespace IWZelkAuthBase;

namespace {

const char* const kFormHeader = "Content-Type: application/x-www-form-urlencoded";

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
  if (!SignIn(Request)) {
    SetLoginResult(resFailed);
    SetLoginError({});
  }
  OutcomeReached();
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
      props::Event("OnLoginOK"), props::Event("OnLoginFailed")};
  TClassRegistry::RegisterClass(std::move(Info));
}

}  // namespace zelk::IWWindowsLiveAuthClient
