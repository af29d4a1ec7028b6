#include "providers/IWWindowsLiveAuthClient.h"

#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWWindowsLiveAuthClient {

using namespace IWZelkAuthBase;

namespace {

const char* const kFormHeader = "Content-Type: application/x-www-form-urlencoded";
// Where the tenant goes in current mode's paths.
constexpr std::string_view kTenant = "{tenant}";

bool IsTenant(std::string_view V) {
  if (V.empty() || V.size() > 255) return false;
  return V.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
             std::string_view::npos &&
         V != "." && V != "..";
}

// A current-mode path with the tenant in its place.
std::string WithTenant(std::string_view Path, const std::string& Tenant) {
  std::string P(Path);
  if (const auto At = P.find(kTenant); At != std::string::npos)
    P.replace(At, kTenant.size(), Tenant);
  return P;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The descriptions

// Classic: the original endpoints, every byte as they were. The return address carries the
// flow identifier as "clientid" (the controller routes by it); it goes unencoded into the
// authorization URL and encoded into the token request. Every failure clears LoginError: the
// provider's text is never shown.
class TZIWWindowsLiveAuthClient::TClassic final : public TOAuth2Description {
 public:
  explicit TClassic(TZIWWindowsLiveAuthClient& Client)
      : TOAuth2Description({.Provider = "WindowsLive",
                            .Authorize = {phWindowsLiveLogin, "/oauth20_authorize.srf"},
                            .Token = {phWindowsLiveLogin, "/oauth20_token.srf"},
                            .Profile = {phWindowsLiveApis, "/v5.0/me"},
                            .Scope = "wl.basic",
                            .Pkce = false,
                            .Http11 = false,
                            .ChecksState = false}),
        FClient(Client) {}

  std::string Scope() const override {
    std::string List = Options().Scope;
    if (FClient.FScopes.Contains(wlBirthDay)) List += ",wl.birthday";
    if (FClient.FScopes.Contains(wlEmail)) List += ",wl.emails";
    return List;
  }
  std::string ReturnAddress(const TOAuth2Context& Context) const override {
    const std::string& Standalone = FClient.FStandaloneRedirectURL;
    return (!Standalone.empty() ? Standalone : Context.ApplicationURL) +
           "?clientid=" + Context.State;
  }
  std::string AuthorizationURL(const TOAuth2Context& Context) const override {
    std::string Url =
        "https://" + Context.Host(Options().Authorize.Host) + Options().Authorize.Path;
    Url += "?client_id=" + Context.ClientID;
    Url += "&scope=" + Scope();
    Url += "&response_type=code";
    Url += "&redirect_uri=" + Context.RedirectURI;
    return Url;
  }
  std::optional<TOAuth2Result> CheckReturn(const THttpRequest& Request,
                                           const TOAuth2Context& /*Context*/) const override {
    if (Request.Query("code").empty() || Request.Query("clientid").empty()) return Failed();
    return std::nullopt;
  }
  TOAuth2Request TokenRequest(const TOAuth2Context& Context,
                              const std::string& Code) const override {
    TOAuth2Request R = Request(Options().Token);
    R.Post = true;
    R.Header = kFormHeader;
    // The code comes from the browser: encoded, it cannot add parameters to the body.
    R.Body = "client_id=" + URLEncode(Context.ClientID) +
             "&redirect_uri=" + URLEncode(Context.RedirectURI) +
             "&client_secret=" + URLEncode(Context.ClientSecret) + "&code=" + URLEncode(Code) +
             "&grant_type=authorization_code";
    return R;
  }
  TOAuth2Token ReadToken(const std::string& Reply) const override {
    if (Reply.empty()) return {{}, Failed()};
    TJSONObject Json;
    ParseJSON(Reply, Json);
    TOAuth2Token T{Json.Text("access_token"), std::nullopt};
    if (T.Token.empty()) T.Failure = Failed();
    return T;
  }
  TOAuth2Request ProfileRequest(const TOAuth2Context& /*Context*/,
                                const std::string& Token) const override {
    TOAuth2Request R = Request(Options().Profile);
    R.Path += "?access_token=" + URLEncode(Token);
    return R;
  }
  TOAuth2Result ReadProfile(const std::string& Reply) const override {
    if (Reply.empty()) return Failed();
    TJSONObject Profile;
    ParseJSON(Reply, Profile);
    if (!MapProfile(Profile)) return Failed();
    return {resOK, std::nullopt};
  }
  bool MapProfile(const TJSONObject& Profile) const override;

 private:
  static TOAuth2Result Failed() { return TOAuth2Result::Failed(std::string()); }
  TZIWWindowsLiveAuthClient& FClient;
};

bool TZIWWindowsLiveAuthClient::TClassic::MapProfile(const TJSONObject& Profile) const {
  if (!Profile.Has("id") || !Profile.Has("name")) return false;
  FClient.SetLoginID(Profile.Text("id"));
  FClient.SetLoginUsername(Profile.Text("name"));
  TWindowsLiveUser& User = *FClient.FUser;
  if (Profile.Has("gender")) User.SetGender(Profile.Text("gender"));
  if (FClient.FScopes.Contains(wlBirthDay) && Profile.Has("birth_day") &&
      Profile.Has("birth_month") && Profile.Has("birth_year"))
    User.SetBirthday(Profile.Text("birth_year") + "\\" + Profile.Text("birth_month") + "\\" +
                     Profile.Text("birth_day"));
  if (FClient.FScopes.Contains(wlEmail) && Profile.IsObject("emails")) {
    const TJSONObject Emails = Profile.Object("emails");
    if (Emails.Has("preferred"))
      User.SetEmail(Emails.Text("preferred"));
    else if (Emails.Has("account"))
      User.SetEmail(Emails.Text("account"));
  }
  return true;
}

// Current: the Microsoft identity platform (v2.0) and Microsoft Graph, with PKCE.
class TZIWWindowsLiveAuthClient::TCurrent final : public TOAuth2Description {
 public:
  explicit TCurrent(TZIWWindowsLiveAuthClient& Client)
      : TOAuth2Description({.Provider = "WindowsLive",
                            .Authorize = {phMicrosoftLogin, "/{tenant}/oauth2/v2.0/authorize"},
                            .Token = {phMicrosoftLogin, "/{tenant}/oauth2/v2.0/token"},
                            .Profile = {phMicrosoftGraph, "/v1.0/me"},
                            .Scope = "openid profile email User.Read"}),
        FClient(Client) {}

  std::string Path(std::string_view OptionsPath) const override {
    return WithTenant(OptionsPath, FClient.FTenant);
  }
  std::string ReturnAddress(const TOAuth2Context& Context) const override {
    const std::string& Standalone = FClient.FStandaloneRedirectURL;
    return !Standalone.empty() ? Standalone : Context.ApplicationURL + "/";
  }
  TParams AuthorizationParams(const TOAuth2Context& Context) const override {
    return {{"client_id", Context.ClientID},
            {"response_type", "code"},
            {"redirect_uri", Context.RedirectURI},
            {"response_mode", "query"},
            {"scope", Scope()},
            {"state", Context.State},
            {"code_challenge", Context.Challenge},
            {"code_challenge_method", "S256"}};
  }
  TParams TokenParams(const TOAuth2Context& Context, const std::string& Code) const override {
    return {{"client_id", Context.ClientID},
            {"scope", Scope()},
            {"code", Code},
            {"redirect_uri", Context.RedirectURI},
            {"grant_type", "authorization_code"},
            {"client_secret", Context.ClientSecret},
            {"code_verifier", Context.Verifier}};
  }
  bool MapProfile(const TJSONObject& Profile) const override {
    const std::string Id = JSONString(Profile, "id");
    if (Id.empty()) return false;
    FClient.SetLoginID(Id);
    FClient.SetLoginUsername(JSONString(Profile, "displayName"));
    // "mail" is null for an account without a mailbox; the sign-in name is then an address too.
    std::string Mail = JSONString(Profile, "mail");
    if (Mail.empty()) Mail = JSONString(Profile, "userPrincipalName");
    if (!Mail.empty()) FClient.FUser->SetEmail(std::move(Mail));
    return true;
  }

 private:
  TZIWWindowsLiveAuthClient& FClient;
};

// ---------------------------------------------------------------------------------------------
// TZIWWindowsLiveAuthClient

TZIWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient(rtl::TComponent* AOwner)
    : TZIWOAuth2Client(AOwner),
      FUser(std::make_unique<TWindowsLiveUser>()),
      FClassic(std::make_unique<TClassic>(*this)),
      FCurrent(std::make_unique<TCurrent>(*this)) {
  Describe(*FClassic, *FCurrent);
}

TZIWWindowsLiveAuthClient::~TZIWWindowsLiveAuthClient() {
  Detach();
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
                UserText("UserGender", &U::Gender, &U::SetGender)};
  // Classic mode's return address, which the token request repeats, and the current flow.
  for (auto& P : C::FlowState<C>())
    Info.State.push_back(std::move(P));
  TClassRegistry::RegisterClass(std::move(Info));
}

void TZIWWindowsLiveAuthClient::SignOut() {
  auto L = Lock();
  FUser->SetEmail({});
  FUser->SetBirthday({});
  FUser->SetGender({});
  TZIWOAuth2Client::SignOut();
}

}  // namespace zelk::IWWindowsLiveAuthClient
