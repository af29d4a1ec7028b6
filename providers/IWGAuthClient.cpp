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
// The descriptions

// Classic: the original endpoints, every byte as they were. The return address is kept
// URL-encoded and goes into both calls as it is; the state is the flow identifier the
// controller routes by, so the return is not checked against it here.
class TZIWGAuthClient::TClassic final : public TOAuth2Description {
 public:
  explicit TClassic(TZIWGAuthClient& Client)
      : TOAuth2Description({.Provider = "Google",
                            .Authorize = {phGoogleAccounts, "/o/oauth2/auth"},
                            .Token = {phGoogleAccounts, "/o/oauth2/token"},
                            .Profile = {phGoogleApis, "/oauth2/v1/userinfo"},
                            .Pkce = false,
                            .Http11 = false,
                            .ChecksState = false}),
        FClient(Client) {}

  std::string ReturnAddress(const TOAuth2Context& Context) const override {
    return URLEncode(Context.ApplicationURL + "/");
  }
  std::string AuthorizationURL(const TOAuth2Context& Context) const override {
    std::string Url =
        "https://" + Context.Host(Options().Authorize.Host) + Options().Authorize.Path;
    Url += "?scope=" + URLEncode(kProfileScope);
    // Scopes are separated by a blank, which the plus sign stands for in a query.
    if (FClient.FScopes.Contains(gEmail)) Url += "+" + URLEncode(kEmailScope);
    Url += "&state=" + Context.State;
    Url += "&redirect_uri=" + Context.RedirectURI;
    Url += "&response_type=code";
    Url += "&client_id=" + Context.ClientID;
    Url += "&approval_prompt=force";
    return Url;
  }
  std::optional<TOAuth2Result> CheckReturn(const THttpRequest& Request,
                                           const TOAuth2Context& /*Context*/) const override {
    const std::string Error = Request.Query("error");
    if (!Error.empty() || Request.Query("code").empty()) return TOAuth2Result::Failed(Error);
    return std::nullopt;
  }
  TOAuth2Request TokenRequest(const TOAuth2Context& Context,
                              const std::string& Code) const override {
    TOAuth2Request R = Request(Options().Token);
    R.Post = true;
    R.Header = kFormHeader;
    // The code comes from the browser: encoded, it cannot add parameters to the body.
    R.Body = "code=" + URLEncode(Code) + "&client_id=" + URLEncode(Context.ClientID) +
             "&client_secret=" + URLEncode(Context.ClientSecret) +
             "&redirect_uri=" + Context.RedirectURI + "&grant_type=authorization_code";
    return R;
  }
  TOAuth2Token ReadToken(const std::string& Reply) const override {
    TJSONObject Json;
    ParseJSON(Reply, Json);
    TOAuth2Token T{Json.Text("access_token"), std::nullopt};
    if (T.Token.empty()) T.Failure = TOAuth2Result::Failed(std::nullopt);
    return T;
  }
  TOAuth2Request ProfileRequest(const TOAuth2Context& /*Context*/,
                                const std::string& Token) const override {
    TOAuth2Request R = Request(Options().Profile);
    R.Path += "?access_token=" + URLEncode(Token);
    return R;
  }
  TOAuth2Result ReadProfile(const std::string& Reply) const override {
    TJSONObject Profile;
    ParseJSON(Reply, Profile);
    if (!MapProfile(Profile)) return TOAuth2Result::Failed(std::nullopt);
    return {resOK, std::nullopt};
  }
  bool MapProfile(const TJSONObject& Profile) const override {
    if (!Profile.Has("id") || !Profile.Has("name")) return false;
    FClient.SetLoginID(Profile.Text("id"));
    FClient.SetLoginUsername(Profile.Text("name"));
    if (FClient.FScopes.Contains(gEmail) && Profile.Has("email"))
      FClient.FUser->SetEmail(Profile.Text("email"));
    if (Profile.Has("gender")) FClient.FUser->SetGender(Profile.Text("gender"));
    return true;
  }

 private:
  TZIWGAuthClient& FClient;
};

// Current: Google's present endpoints, with PKCE and the verified e-mail only.
class TZIWGAuthClient::TCurrent final : public TOAuth2Description {
 public:
  explicit TCurrent(TZIWGAuthClient& Client)
      : TOAuth2Description({.Provider = "Google",
                            .Authorize = {phGoogleAccounts, "/o/oauth2/v2/auth"},
                            .Token = {phGoogleOAuth2, "/token"},
                            .Profile = {phGoogleOpenId, "/v1/userinfo"},
                            .Scope = "openid profile"}),
        FClient(Client) {}

  std::string Scope() const override {
    return FClient.FScopes.Contains(gEmail) ? Options().Scope + " email" : Options().Scope;
  }
  bool MapProfile(const TJSONObject& Profile) const override {
    const std::string Sub = JSONString(Profile, "sub");
    if (Sub.empty()) return false;
    FClient.SetLoginID(Sub);
    FClient.SetLoginUsername(JSONString(Profile, "name"));
    // An address Google has not verified may belong to someone else.
    const nlohmann::json& Doc = Profile.Json();
    const auto Verified = Doc.find("email_verified");
    const bool IsVerified = Verified != Doc.end() &&
                            ((Verified->is_boolean() && Verified->get<bool>()) ||
                             (Verified->is_string() && Verified->get<std::string>() == "true"));
    if (FClient.FScopes.Contains(gEmail) && IsVerified && !JSONString(Profile, "email").empty())
      FClient.FUser->SetEmail(JSONString(Profile, "email"));
    if (!JSONString(Profile, "picture").empty())
      FClient.FUser->SetPicture(JSONString(Profile, "picture"));
    return true;
  }

 private:
  TZIWGAuthClient& FClient;
};

// ---------------------------------------------------------------------------------------------
// TZIWGAuthClient

TZIWGAuthClient::TZIWGAuthClient(rtl::TComponent* AOwner)
    : TZIWOAuth2Client(AOwner),
      FUser(std::make_unique<TGUser>()),
      FClassic(std::make_unique<TClassic>(*this)),
      FCurrent(std::make_unique<TCurrent>(*this)) {
  Describe(*FClassic, *FCurrent);
}

TZIWGAuthClient::~TZIWGAuthClient() {
  Detach();
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
                UserText("UserPicture", &U::Picture, &U::SetPicture)};
  // Classic mode's return address as the authorization URL carried it, and the current flow.
  for (auto& P : C::FlowState<C>())
    Info.State.push_back(std::move(P));
  TClassRegistry::RegisterClass(std::move(Info));
}

void TZIWGAuthClient::SignOut() {
  auto L = Lock();
  FUser->SetEmail({});
  FUser->SetGender({});
  FUser->SetPicture({});
  TZIWOAuth2Client::SignOut();
}

}  // namespace zelk::IWGAuthClient
