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

bool IsGraphVersion(std::string_view V) {
  // "v", digits, ".", digits: it goes into request paths as it is.
  if (V.size() < 4 || V.size() > 12 || V.front() != 'v') return false;
  const auto Dot = V.find('.');
  if (Dot == std::string_view::npos || Dot < 2 || Dot + 1 == V.size()) return false;
  for (std::size_t I = 1; I < V.size(); ++I)
    if (I != Dot && (V[I] < '0' || V[I] > '9')) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TFacebookUser

std::string TFacebookUser::Email() const {
  std::lock_guard L(FMutex);
  return FEmail;
}

std::string TFacebookUser::Birthday() const {
  std::lock_guard L(FMutex);
  return FBirthday;
}

std::string TFacebookUser::Picture() const {
  std::lock_guard L(FMutex);
  return FPicture;
}

void TFacebookUser::SetEmail(std::string Value) {
  std::lock_guard L(FMutex);
  FEmail = std::move(Value);
}

void TFacebookUser::SetPicture(std::string Value) {
  std::lock_guard L(FMutex);
  FPicture = std::move(Value);
}

void TFacebookUser::SetBirthday(std::string Value) {
  std::lock_guard L(FMutex);
  FBirthday = std::move(Value);
}

// ---------------------------------------------------------------------------------------------
// TZIWFacebookAuthClient

TZIWFacebookAuthClient::TZIWFacebookAuthClient(rtl::TComponent* AOwner)
    : TZIWCustomCloudClient(AOwner), FUser(std::make_unique<TFacebookUser>()) {}

TZIWFacebookAuthClient::~TZIWFacebookAuthClient() {
  Detach();
}

void TZIWFacebookAuthClient::Login(TIWApplication* WebApplication) {
  auto L = Lock();
  CheckServerController();
  if (WebApplication == nullptr)
    throw rtl::Exception(
        "TZIWFacebookAuthClient.Login: WebApplication is not assigned; pass "
        "the session's application object so the browser can be redirected");
  TZIWCustomCloudClient::Login(WebApplication);
  const std::string Id = NewFlowIdentifier();
  if (Api() == apCurrent) {
    LoginCurrent(WebApplication, Id);
    return;
  }

  FUrl = ReplaceAll(WebApplication->GetApplicationURL(), "127.0.0.1", "localhost") +
         "/?clientid=" + Id;

  std::string Url = "https://" + ProviderHost(phFacebookWeb) + "/dialog/oauth?client_id=";
  Url += App()->ID();
  Url += "&redirect_uri=" + FUrl;
  Url += "&scope=publish_stream,email,user_birthday";
  WebApplication->GoToURL(Url);
}

void TZIWFacebookAuthClient::LoginCurrent(TIWApplication* WebApplication, const std::string& Id) {
  // Facebook matches the registered return address exactly: no per-flow query. PKCE binds the
  // code to this flow: a code stolen from it, or injected into it, is useless elsewhere.
  FFlow.Begin(Id, WebApplication->GetApplicationURL() + "/", true);
  std::string ScopeList = "public_profile";
  if (FScopes.Contains(fbEmail)) ScopeList += ",email";
  if (FScopes.Contains(fbBirthDay)) ScopeList += ",user_birthday";
  const TParams Params = {{"client_id", App()->ID()},
                          {"redirect_uri", FFlow.RedirectURI()},
                          {"state", Id},
                          {"response_type", "code"},
                          {"scope", ScopeList},
                          {"code_challenge", FFlow.Challenge()},
                          {"code_challenge_method", "S256"}};
  WebApplication->GoToURL(TOAuth2CodeFlow::AuthorizationURL(
      "https://" + ProviderHost(phFacebookWeb) + "/" + FGraphVersion + "/dialog/oauth", Params));
}

TOAuth2Call TZIWFacebookAuthClient::TokenCall(const std::string& Code,
                                              const std::string& RedirectURI,
                                              const std::string& Verifier) const {
  TOAuth2Call Call;
  Call.Host = ProviderHost(phFacebookGraph);
  Call.Path = "/" + FGraphVersion + "/oauth/access_token?" +
              EncodeQuery({{"client_id", App()->ID()},
                           {"redirect_uri", RedirectURI},
                           {"client_secret", App()->Secret()},
                           {"code_verifier", Verifier},
                           {"code", Code}});
  Call.HeaderLines = {"Accept: application/json"};
  return Call;
}

TOAuth2Call TZIWFacebookAuthClient::ProfileCall(const std::string& Token) const {
  std::string Fields = "id,name,picture";
  if (FScopes.Contains(fbEmail)) Fields += ",email";
  if (FScopes.Contains(fbBirthDay)) Fields += ",birthday";
  TOAuth2Call Call;
  Call.Host = ProviderHost(phFacebookGraph);
  // The proof ties the call to the app's secret: a stolen token alone cannot read the profile.
  Call.Path = "/" + FGraphVersion + "/me?fields=" + Fields + "&access_token=" + URLEncode(Token) +
              "&appsecret_proof=" + HMACSha256Hex(App()->Secret(), Token);
  Call.HeaderLines = {"Accept: application/json"};
  return Call;
}

bool TZIWFacebookAuthClient::MapProfile(const TJSONObject& Profile) {
  const std::string Id = JSONString(Profile, "id");
  if (Id.empty()) return false;
  SetLoginID(Id);
  SetLoginUsername(JSONString(Profile, "name"));
  if (Profile.IsObject("picture")) {
    const TJSONObject Picture = Profile.Object("picture");
    if (Picture.IsObject("data")) {
      const std::string Url = JSONString(Picture.Object("data"), "url");
      if (!Url.empty()) FUser->SetPicture(Url);
    }
  }
  if (FScopes.Contains(fbEmail) && !JSONString(Profile, "email").empty())
    FUser->SetEmail(JSONString(Profile, "email"));
  if (FScopes.Contains(fbBirthDay) && !JSONString(Profile, "birthday").empty())
    FUser->SetBirthday(JSONString(Profile, "birthday"));
  return true;
}

void TZIWFacebookAuthClient::LoginResponse(const THttpRequest& Request) {
  auto L = Lock();
  if (Api() == apCurrent) {
    CompleteCurrentLogin(Request, FFlow, *this);
    return;
  }
  const std::string Code = Request.Query("code");
  if (Code.empty()) {
    SetLoginResult(resFailed);
    ReachOutcome(Refused(Request));
    TZIWCustomCloudClient::LoginResponse(Request);
    return;
  }

  // The code comes from the browser: encoded, it cannot add parameters to the path.
  const std::string Path = "/oauth/access_token?client_id=" + App()->ID() +
                           "&redirect_uri=" + FUrl + "&client_secret=" + App()->Secret() +
                           "&code=" + URLEncode(Code);
  std::string Reply;
  Https_Get(ProviderHost(phFacebookGraph), Path, Reply);

  std::string Token;
  bool FromJSON = false;
  {
    // Today's Graph API answers {"access_token": "...", ...}; the older one answered
    // "access_token=...&expires=...".
    TJSONObject Json;
    ParseJSON(Reply, Json);
    const nlohmann::json& Doc = Json.Json();
    if (const auto It = Doc.find("access_token"); It != Doc.end() && It->is_string()) {
      Token = It->get<std::string>();
      FromJSON = true;
    } else if (Reply.find("access_token") != std::string::npos) {
      Token = TokenFromFormReply(Reply);
    } else {
      SetLoginResult(resFailed);
      if (Json.IsObject("error")) {
        const TJSONObject Error = Json.Object("error");
        if (Error.Has("message")) SetLoginError(Error.Text("message"));
      }
    }
  }

  if (Token.empty()) {
    SetLoginResult(resFailed);
  } else {
    FToken = Token;
    FTokenFromJSON = FromJSON;
    std::string ProfilePath = "/me?access_token=" + TokenInPath() + "&fields=id,name,picture";
    if (FScopes.Contains(fbEmail)) ProfilePath += ",email";
    if (FScopes.Contains(fbBirthDay)) ProfilePath += ",birthday";
    Https_Get(ProviderHost(phFacebookGraph), ProfilePath, Reply);
    TJSONObject Profile;
    ParseJSON(Reply, Profile);
    if (Profile.Has("id") && Profile.Has("name")) {
      SetLoginResult(resOK);
      SetLoginID(Profile.Text("id"));
      SetLoginUsername(Profile.Text("name"));
      if (Profile.Has("picture")) FUser->SetPicture(Profile.Text("picture"));
      if (FScopes.Contains(fbEmail) && Profile.Has("email")) FUser->SetEmail(Profile.Text("email"));
      if (FScopes.Contains(fbBirthDay) && Profile.Has("birthday"))
        FUser->SetBirthday(Profile.Text("birthday"));
    } else {
      SetLoginResult(resFailed);
    }
  }
  ReachOutcome(Refused(Request));
  TZIWCustomCloudClient::LoginResponse(Request);
}

void TZIWFacebookAuthClient::Post(const std::string& S) {
  auto L = Lock();
  if (Api() == apCurrent) {
    if (!FOnPostFailed) return;
    const TIWPostFailedEvent Handler = FOnPostFailed;
    Handler(this, kNoTimelinePosting);
    return;
  }
  if (FToken.empty()) return;
  const std::string Path = "/method/stream.publish?message=" + URLEncode(S) +
                           "&access_token=" + TokenInPath() + "&format=json";
  std::string Reply;
  Https_Get(ProviderHost(phFacebookRest), Path, Reply);

  // Only a reply that is a post id succeeds: an error document or an HTML page holds "_" too.
  if (const std::optional<std::string> PostID = PostIDOf(Reply)) {
    if (!FOnPostOK) return;
    const TIWPostOKEvent Handler = FOnPostOK;
    Handler(this, *PostID);
  } else {
    if (!FOnPostFailed) return;
    const TIWPostFailedEvent Handler = FOnPostFailed;
    Handler(this, PostErrorOf(Reply));
  }
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
                C::StateField("AccessTokenFromJSON", &C::FTokenFromJSON),
                // Classic mode: the return address as the dialog URL carried it.
                C::StateField("ReturnURL", &C::FUrl)};
  for (auto& P : CodeFlowState<C>([](C*Client, const auto&Use) {
         auto L = Client->Lock();
         Use(Client->FFlow);
       }))
    Info.State.push_back(std::move(P));
  TClassRegistry::RegisterClass(std::move(Info));
}

void TZIWFacebookAuthClient::SignOut() {
  auto L = Lock();
  FFlow.Forget();
  OPENSSL_cleanse(FToken.data(), FToken.size());
  FToken.clear();
  FTokenFromJSON = false;
  FUser->SetEmail({});
  FUser->SetPicture({});
  FUser->SetBirthday({});
  TZIWCustomCloudClient::SignOut();
}

}  // namespace zelk::IWFacebookAuthClient
