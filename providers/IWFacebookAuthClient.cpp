#include "providers/IWFacebookAuthClient.h"

#include <openssl/crypto.h>

#include <optional>
#include <string_view>

#include "platform/rtl/ClassRegistry.h"

namespace zelk::IWFacebookAuthClient {

using namespace IWZelkAuthBase;

namespace {

std::string ReplaceAll(std::string S, std::string_view From, std::string_view To) {
  for (std::size_t P = S.find(From); P != std::string::npos; P = S.find(From, P + To.size()))
    S.replace(P, From.size(), To);
  return S;
}

// The older form-encoded token reply ("access_token=...&expires=..."): the token stands between
// the first "=" and the first "&"; without an "&" after the "=" there is none.
std::string TokenFromFormReply(const std::string& Reply) {
  const std::size_t Eq = Reply.find('=');
  const std::size_t Amp = Reply.find('&');
  if (Eq == std::string::npos || Amp == std::string::npos || Amp < Eq) return {};
  return Reply.substr(Eq + 1, Amp - Eq - 1);
}

bool AllDigits(std::string_view S) {
  return !S.empty() && S.find_first_not_of("0123456789") == std::string_view::npos;
}

// The post id a successful publish answers: "<user id>_<post id>", bare or as a JSON string
// (blanks around it allowed). Gives the part after the "_", or nothing for any other reply.
std::optional<std::string> PostIDOf(std::string_view Reply) {
  const auto First = Reply.find_first_not_of(" \t\r\n");
  if (First == std::string_view::npos) return std::nullopt;
  Reply = Reply.substr(First, Reply.find_last_not_of(" \t\r\n") - First + 1);
  if (Reply.size() >= 2 && Reply.front() == '"' && Reply.back() == '"')
    Reply = Reply.substr(1, Reply.size() - 2);
  const auto Underscore = Reply.find('_');
  if (Underscore == std::string_view::npos || !AllDigits(Reply.substr(0, Underscore)) ||
      !AllDigits(Reply.substr(Underscore + 1)))
    return std::nullopt;
  return std::string(Reply.substr(Underscore + 1));
}

// The first Count characters of UTF-8 Text, never cutting a character in two.
std::string FirstCharacters(const std::string& Text, std::size_t Count) {
  std::size_t End = 0;
  for (std::size_t Seen = 0; End < Text.size(); ++End) {
    const auto Byte = static_cast<unsigned char>(Text[End]);
    if ((Byte & 0xC0U) != 0x80U && Seen++ == Count) break;
  }
  return Text.substr(0, End);
}

// What a refused post is reported with: the provider's message from the legacy error document
// ("error_msg") or the Graph one ({"error":{"message":...}}), else the start of the reply.
std::string PostErrorOf(const std::string& Reply) {
  constexpr std::size_t kReplyCharacters = 200;
  TJSONObject Json;
  ParseJSON(Reply, Json);
  std::string Message;
  if (Json.Has("error_msg"))
    Message = Json.Text("error_msg");
  else if (Json.IsObject("error"))
    Message = Json.Object("error").Text("message");
  if (!Message.empty()) return Message;
  if (Reply.find_first_not_of(" \t\r\n") == std::string::npos)
    return "Facebook answered the post with an empty reply";
  return FirstCharacters(Reply, kReplyCharacters);
}

// Where the Graph API version goes in current mode's paths.
constexpr std::string_view kVersion = "{version}";

bool IsGraphVersion(std::string_view V) {
  // "v", digits, ".", digits: it goes into request paths as it is.
  if (V.size() < 4 || V.size() > 12 || V.front() != 'v') return false;
  const auto Dot = V.find('.');
  if (Dot == std::string_view::npos || Dot < 2 || Dot + 1 == V.size()) return false;
  for (std::size_t I = 1; I < V.size(); ++I)
    if (I != Dot && (V[I] < '0' || V[I] > '9')) return false;
  return true;
}

// A current-mode path with the Graph API version in its place.
std::string WithVersion(std::string_view Path, const std::string& Version) {
  std::string P(Path);
  if (const auto At = P.find(kVersion); At != std::string::npos)
    P.replace(At, kVersion.size(), Version);
  return P;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The descriptions

class TZIWFacebookAuthClient::TDescription : public TOAuth2Description {
 public:
  TDescription(TOAuth2Options Options, TZIWFacebookAuthClient& Client)
      : TOAuth2Description(std::move(Options)), FClient(Client) {}
  // Post of this generation, under the client's lock.
  virtual void Post(const std::string& S) const = 0;

 protected:
  TZIWFacebookAuthClient& FClient;
};

// Classic: the original endpoints, every byte as they were. The return address carries the
// flow identifier as "clientid" (the controller routes by it) and goes unencoded into the
// dialog URL and the token request alike; the token reply may be JSON or the older form.
class TZIWFacebookAuthClient::TClassic final : public TDescription {
 public:
  explicit TClassic(TZIWFacebookAuthClient& Client)
      : TDescription({.Provider = "Facebook",
                      .Authorize = {phFacebookWeb, "/dialog/oauth"},
                      .Token = {phFacebookGraph, "/oauth/access_token"},
                      .Profile = {phFacebookGraph, "/me"},
                      .Scope = "publish_stream,email,user_birthday",
                      .Pkce = false,
                      .ClientAuthentication = TClientAuthentication::caQuery,
                      .Http11 = false,
                      .ChecksState = false},
                     Client) {}

  std::string ReturnAddress(const TOAuth2Context& Context) const override {
    // Facebook refuses a bare loopback address as a site address.
    return ReplaceAll(Context.ApplicationURL, "127.0.0.1", "localhost") +
           "/?clientid=" + Context.State;
  }
  std::string AuthorizationURL(const TOAuth2Context& Context) const override {
    return "https://" + Context.Host(Options().Authorize.Host) + Options().Authorize.Path +
           "?client_id=" + Context.ClientID + "&redirect_uri=" + Context.RedirectURI +
           "&scope=" + Scope();
  }
  std::optional<TOAuth2Result> CheckReturn(const THttpRequest& Request,
                                           const TOAuth2Context& /*Context*/) const override {
    if (Request.Query("code").empty()) return TOAuth2Result::Failed(std::nullopt);
    return std::nullopt;
  }
  TOAuth2Request TokenRequest(const TOAuth2Context& Context,
                              const std::string& Code) const override {
    TOAuth2Request R = Request(Options().Token);
    // The code comes from the browser: encoded, it cannot add parameters to the path.
    R.Path += "?client_id=" + Context.ClientID + "&redirect_uri=" + Context.RedirectURI +
              "&client_secret=" + Context.ClientSecret + "&code=" + URLEncode(Code);
    return R;
  }
  TOAuth2Token ReadToken(const std::string& Reply) const override;
  TOAuth2Request ProfileRequest(const TOAuth2Context& /*Context*/,
                                const std::string& /*Token*/) const override {
    TOAuth2Request R = Request(Options().Profile);
    R.Path += "?access_token=" + FClient.TokenInPath() + "&fields=id,name,picture";
    if (FClient.FScopes.Contains(fbEmail)) R.Path += ",email";
    if (FClient.FScopes.Contains(fbBirthDay)) R.Path += ",birthday";
    return R;
  }
  TOAuth2Result ReadProfile(const std::string& Reply) const override {
    TJSONObject Profile;
    ParseJSON(Reply, Profile);
    if (!MapProfile(Profile)) return TOAuth2Result::Failed(std::nullopt);
    return {resOK, std::nullopt};
  }
  bool MapProfile(const TJSONObject& Profile) const override;
  void Post(const std::string& S) const override;
};

TOAuth2Token TZIWFacebookAuthClient::TClassic::ReadToken(const std::string& Reply) const {
  // Today's Graph API answers {"access_token": "...", ...}; the older one answered
  // "access_token=...&expires=...".
  TOAuth2Token T;
  TJSONObject Json;
  ParseJSON(Reply, Json);
  const nlohmann::json& Doc = Json.Json();
  bool FromJSON = false;
  if (const auto It = Doc.find("access_token"); It != Doc.end() && It->is_string()) {
    T.Token = It->get<std::string>();
    FromJSON = true;
  } else if (Reply.find("access_token") != std::string::npos) {
    T.Token = TokenFromFormReply(Reply);
  } else if (Json.IsObject("error") && Json.Object("error").Has("message")) {
    T.Failure = TOAuth2Result::Failed(Json.Object("error").Text("message"));
    return T;
  }
  if (T.Token.empty()) {
    T.Failure = TOAuth2Result::Failed(std::nullopt);
    return T;
  }
  // Kept for Post, which publishes with the token of the last successful exchange.
  FClient.FToken = T.Token;
  FClient.FTokenFromJSON = FromJSON;
  return T;
}

bool TZIWFacebookAuthClient::TClassic::MapProfile(const TJSONObject& Profile) const {
  if (!Profile.Has("id") || !Profile.Has("name")) return false;
  FClient.SetLoginID(Profile.Text("id"));
  FClient.SetLoginUsername(Profile.Text("name"));
  TFacebookUser& User = *FClient.FUser;
  if (Profile.Has("picture")) User.SetPicture(Profile.Text("picture"));
  if (FClient.FScopes.Contains(fbEmail) && Profile.Has("email"))
    User.SetEmail(Profile.Text("email"));
  if (FClient.FScopes.Contains(fbBirthDay) && Profile.Has("birthday"))
    User.SetBirthday(Profile.Text("birthday"));
  return true;
}

void TZIWFacebookAuthClient::TClassic::Post(const std::string& S) const {
  if (FClient.FToken.empty()) return;
  const std::string Path = "/method/stream.publish?message=" + URLEncode(S) +
                           "&access_token=" + FClient.TokenInPath() + "&format=json";
  const std::string Reply = FClient.Transport().Get(FClient.Host(phFacebookRest), Path).Body;
  // Only a reply that is a post id succeeds: an error document or an HTML page holds "_" too.
  if (const std::optional<std::string> PostID = PostIDOf(Reply))
    FClient.PostOK(*PostID);
  else
    FClient.PostFailed(PostErrorOf(Reply));
}

// Current: the present Graph API (version GraphVersion), with PKCE and the appsecret_proof.
class TZIWFacebookAuthClient::TCurrent final : public TDescription {
 public:
  explicit TCurrent(TZIWFacebookAuthClient& Client)
      : TDescription({.Provider = "Facebook",
                      .Authorize = {phFacebookWeb, "/{version}/dialog/oauth"},
                      .Token = {phFacebookGraph, "/{version}/oauth/access_token"},
                      .Profile = {phFacebookGraph, "/{version}/me"},
                      .Scope = "public_profile",
                      .ClientAuthentication = TClientAuthentication::caQuery},
                     Client) {}

  std::string Path(std::string_view OptionsPath) const override {
    return WithVersion(OptionsPath, FClient.FGraphVersion);
  }
  std::string Scope() const override {
    std::string List = Options().Scope;
    if (FClient.FScopes.Contains(fbEmail)) List += ",email";
    if (FClient.FScopes.Contains(fbBirthDay)) List += ",user_birthday";
    return List;
  }
  TParams AuthorizationParams(const TOAuth2Context& Context) const override {
    // Facebook matches the registered return address exactly: no per-flow query. PKCE binds
    // the code to this flow: a code stolen from it, or injected into it, is useless elsewhere.
    return {{"client_id", Context.ClientID},
            {"redirect_uri", Context.RedirectURI},
            {"state", Context.State},
            {"response_type", "code"},
            {"scope", Scope()},
            {"code_challenge", Context.Challenge},
            {"code_challenge_method", "S256"}};
  }
  TParams TokenParams(const TOAuth2Context& Context, const std::string& Code) const override {
    return {{"client_id", Context.ClientID},
            {"redirect_uri", Context.RedirectURI},
            {"client_secret", Context.ClientSecret},
            {"code_verifier", Context.Verifier},
            {"code", Code}};
  }
  TOAuth2Request ProfileRequest(const TOAuth2Context& Context,
                                const std::string& Token) const override {
    std::string Fields = "id,name,picture";
    if (FClient.FScopes.Contains(fbEmail)) Fields += ",email";
    if (FClient.FScopes.Contains(fbBirthDay)) Fields += ",birthday";
    TOAuth2Request R = Request(Options().Profile);
    // The proof ties the call to the app's secret: a stolen token alone cannot read the profile.
    R.Path += "?fields=" + Fields + "&access_token=" + URLEncode(Token) +
              "&appsecret_proof=" + HMACSha256Hex(Context.ClientSecret, Token);
    return R;
  }
  bool MapProfile(const TJSONObject& Profile) const override;
  void Post(const std::string& /*S*/) const override { FClient.PostFailed(kNoTimelinePosting); }
};

bool TZIWFacebookAuthClient::TCurrent::MapProfile(const TJSONObject& Profile) const {
  const std::string Id = JSONString(Profile, "id");
  if (Id.empty()) return false;
  FClient.SetLoginID(Id);
  FClient.SetLoginUsername(JSONString(Profile, "name"));
  TFacebookUser& User = *FClient.FUser;
  if (Profile.IsObject("picture")) {
    const TJSONObject Picture = Profile.Object("picture");
    if (Picture.IsObject("data")) {
      const std::string Url = JSONString(Picture.Object("data"), "url");
      if (!Url.empty()) User.SetPicture(Url);
    }
  }
  if (FClient.FScopes.Contains(fbEmail) && !JSONString(Profile, "email").empty())
    User.SetEmail(JSONString(Profile, "email"));
  if (FClient.FScopes.Contains(fbBirthDay) && !JSONString(Profile, "birthday").empty())
    User.SetBirthday(JSONString(Profile, "birthday"));
  return true;
}

// ---------------------------------------------------------------------------------------------
// TZIWFacebookAuthClient

TZIWFacebookAuthClient::TZIWFacebookAuthClient(rtl::TComponent* AOwner)
    : TZIWOAuth2Client(AOwner),
      FUser(std::make_unique<TFacebookUser>()),
      FClassic(std::make_unique<TClassic>(*this)),
      FCurrent(std::make_unique<TCurrent>(*this)) {
  Describe(*FClassic, *FCurrent);
}

TZIWFacebookAuthClient::~TZIWFacebookAuthClient() {
  Detach();
}

void TZIWFacebookAuthClient::Post(const std::string& S) {
  auto L = Lock();
  // Both descriptions of this client are Facebook's own.
  static_cast<const TDescription&>(DescriptionOf(Api())).Post(S);
}

void TZIWFacebookAuthClient::PostOK(const std::string& PostID) {
  if (!FOnPostOK) return;
  const TIWPostOKEvent Handler = FOnPostOK;
  Handler(this, PostID);
}

void TZIWFacebookAuthClient::PostFailed(const std::string& Message) {
  if (!FOnPostFailed) return;
  const TIWPostFailedEvent Handler = FOnPostFailed;
  Handler(this, Message);
}

std::string TZIWFacebookAuthClient::TokenInPath() const {
  return FTokenFromJSON ? URLEncode(FToken) : EncodeURLUnsafe(FToken);
}

TIWScopes TZIWFacebookAuthClient::Scopes() const {
  auto L = Lock();
  return FScopes;
}

void TZIWFacebookAuthClient::SetScopes(TIWScopes Value) {
  auto L = Lock();
  FScopes = Value;
}

std::string TZIWFacebookAuthClient::GraphVersion() const {
  auto L = Lock();
  return FGraphVersion;
}

void TZIWFacebookAuthClient::SetGraphVersion(std::string Value) {
  if (!IsGraphVersion(Value))
    throw rtl::Exception("TZIWFacebookAuthClient.GraphVersion: \"" + Value.substr(0, 40) +
                         "\" is not a Graph API version such as \"v25.0\"");
  auto L = Lock();
  FGraphVersion = std::move(Value);
}

TIWPostFailedEvent TZIWFacebookAuthClient::OnPostFailed() const {
  auto L = Lock();
  return FOnPostFailed;
}

void TZIWFacebookAuthClient::SetOnPostFailed(TIWPostFailedEvent Value) {
  auto L = Lock();
  FOnPostFailed = std::move(Value);
}

TIWPostOKEvent TZIWFacebookAuthClient::OnPostOK() const {
  auto L = Lock();
  return FOnPostOK;
}

void TZIWFacebookAuthClient::SetOnPostOK(TIWPostOKEvent Value) {
  auto L = Lock();
  FOnPostOK = std::move(Value);
}

TFacebookUser* TZIWFacebookAuthClient::User() const {
  auto L = Lock();
  return FUser.get();
}

void TZIWFacebookAuthClient::SetUser(std::unique_ptr<TFacebookUser> Value) {
  auto L = Lock();
  if (Value == nullptr)
    throw rtl::Exception("TZIWFacebookAuthClient.User: a user record is required, not none");
  FUser = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// Class metadata

void RegisterClasses() {
  using namespace rtl;
  using C = TZIWFacebookAuthClient;
  RegisterAuthBaseClasses();
  TClassInfo Info;
  Info.Name = "TZIWFacebookAuthClient";
  Info.ParentName = "TZIWCustomCloudClient";
  Info.Create = [](TComponent* Owner) -> TComponent* { return new C(Owner); };
  Info.Properties = {
      props::Object<C>("App", "TIWApp", [](C* Client) { return Client->App(); }),
      props::Set<C, TFacebookScope>(
          "Scopes", {"fbEmail", "fbBirthDay"}, [](C* Client) { return Client->Scopes(); },
          [](C* Client, TIWScopes S) { Client->SetScopes(S); }),
      ApiProperty<C>(),
      props::String<C>(
          "GraphVersion", [](C* Client) { return Client->GraphVersion(); },
          [](C* Client, std::string V) { Client->SetGraphVersion(std::move(V)); },
          std::string("v25.0")),
      props::Event("OnLoginOK"),
      props::Event("OnLoginFailed"),
      props::Event("OnPostFailed"),
      props::Event("OnPostOK")};
  using U = TFacebookUser;
  const auto UserText = UserState<C, U>;
  Info.State = {UserText("UserEmail", &U::Email, &U::SetEmail),
                UserText("UserPicture", &U::Picture, &U::SetPicture),
                UserText("UserBirthday", &U::Birthday, &U::SetBirthday),
                // Classic mode: the token Post publishes with, and how it goes into a path.
                C::StateField("AccessToken", &C::FToken),
                C::StateField("AccessTokenFromJSON", &C::FTokenFromJSON)};
  // Classic mode's return address as the dialog URL carried it, and the current flow.
  for (auto& P : C::FlowState<C>())
    Info.State.push_back(std::move(P));
  TClassRegistry::RegisterClass(std::move(Info));
}

void TZIWFacebookAuthClient::SignOut() {
  auto L = Lock();
  OPENSSL_cleanse(FToken.data(), FToken.size());
  FToken.clear();
  FTokenFromJSON = false;
  FUser->SetEmail({});
  FUser->SetPicture({});
  FUser->SetBirthday({});
  TZIWOAuth2Client::SignOut();
}

}  // namespace zelk::IWFacebookAuthClient
