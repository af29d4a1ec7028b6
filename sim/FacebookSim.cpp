#include "sim/FacebookSim.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>

#include "sim/JsonReply.h"
#include "sim/OAuth2Current.h"
#include "sim/OAuth2Dialog.h"

namespace zelk::sim {

using nlohmann::json;

struct FacebookSim::TState {
  TOAuth2Grants Grants;
  std::mutex Mutex;  // guards the members below
  bool LegacyTokenReply = false;
  bool RequireAppSecretProof = true;
  std::vector<FacebookSim::TPost> Posts;
  unsigned long long NextPostId = 10150000000000001ULL;
};

namespace {

using TStatePtr = std::shared_ptr<FacebookSim::TState>;
constexpr TProviderId kFacebook = TProviderId::Facebook;

// Facebook writes non-ASCII characters as \u escapes.
TSimResponse Json(int Status, const json& Body) {
  return JsonReply(Status, Body, "application/json; charset=UTF-8", /*AsciiOnly=*/true);
}

TSimResponse GraphError(int Status, const std::string& Message, int Code,
                        const std::string& Type = "OAuthException") {
  return Json(Status, {{"error",
                        {{"message", Message},
                         {"type", Type},
                         {"code", Code},
                         {"fbtrace_id", RandomText(11, kAlphaNumeric)}}}});
}

// The REST API's error format, with the arguments it was called with.
TSimResponse RestError(const TSimRequest& R, int Code, const std::string& Message) {
  json Args = json::array();
  for (int I = 0; I < R.Query.Count(); ++I)
    Args.push_back({{"key", R.Query.Names(I)}, {"value", R.Query.ValueFromIndex(I)}});
  return Json(200, {{"error_code", Code}, {"error_msg", Message}, {"request_args", Args}});
}

// The permissions an app may ask for; the versioned dialog (Current) no longer knows the
// publishing ones.
std::string DescribePermission(const std::string& P, bool Current) {
  if (P == "public_profile") return "Your public profile";
  if (P == "email") return "Your email address";
  if (P == "user_birthday") return "Your birthday";
  if (!Current && (P == "publish_stream" || P == "publish_actions")) return "Post on your behalf";
  return {};
}

// The Graph version of a versioned path ("/v25.0/me"): "v" and digits, a dot and digits.
std::string VersionOf(const TSimRequest& R) {
  const std::size_t End = R.Path.find('/', 1);
  return R.Path.substr(1, End == std::string::npos ? std::string::npos : End - 1);
}

bool ValidVersion(const std::string& V) {
  const std::size_t Dot = V.find('.');
  auto Digits = [](std::string_view D) {
    return !D.empty() &&
           std::all_of(D.begin(), D.end(), [](char C) { return C >= '0' && C <= '9'; });
  };
  return V.size() > 1 && V[0] == 'v' && Dot != std::string::npos &&
         Digits(std::string_view(V).substr(1, Dot - 1)) &&
         Digits(std::string_view(V).substr(Dot + 1));
}

bool Granted(const TGrant& G, const std::string& Permission) {
  for (const auto& S : G.Request.Scopes)
    if (S == Permission) return true;
  return false;
}

std::string TwoDigits(int N) {
  char B[8];
  std::snprintf(B, sizeof B, "%02d", N);
  return B;
}

TRefusal RefuseClient(TAuthorizeCheck Check, const TSimRequest& R) {
  switch (Check) {
    case TAuthorizeCheck::MissingClient:
    case TAuthorizeCheck::UnknownClient:
      return {"Invalid App ID", "The provided app ID \"" + R.Query.Values("client_id") +
                                    "\" does not look like a valid app ID."};
    case TAuthorizeCheck::MissingReturn:
      return {"Error", "The parameter redirect_uri is required"};
    case TAuthorizeCheck::UnregisteredReturn:
      break;
  }
  return {"URL Blocked",
          "This redirect failed because the redirect URI is not whitelisted in the app's Client "
          "OAuth Settings."};
}

std::optional<TRefusal> CheckVersion(const TSimRequest& R) {
  if (ValidVersion(VersionOf(R))) return std::nullopt;
  return TRefusal{"Error",
                  "Unknown path components: " + R.Path + " (the version must look like v25.0)"};
}

// The checks of a dialog request; public_profile is always granted and, asked for explicitly,
// not listed twice.
std::optional<TRefusal> CheckDialogRequest(const TSimRequest& R, TAuthorizationRequest& Request,
                                           bool Current) {
  if (Current && R.Query.IndexOfName("response_type") >= 0 &&
      R.Query.Values("response_type") != "code")
    return TRefusal{"Error", "This simulator answers response_type=code only, not \"" +
                                 R.Query.Values("response_type") + "\"."};
  // The versioned dialog binds a PKCE challenge to the code, as Google's does.
  if (Current)
    if (std::string Problem = ReadPkceChallenge(R, Request); !Problem.empty())
      return TRefusal{"Error", std::move(Problem)};
  if (std::find(Request.Scopes.begin(), Request.Scopes.end(), "public_profile") ==
      Request.Scopes.end())
    Request.Scopes.insert(Request.Scopes.begin(), "public_profile");
  return std::nullopt;
}

// The OAuth dialog, unversioned or (Current) versioned. The versioned one refuses a return
// address with a query or one not registered exactly (strict mode) and publishing permissions,
// and takes a PKCE challenge.
TAuthorizeRules DialogRules(bool Current) {
  TAuthorizeRules Rules;
  Rules.Provider = "Facebook";
  Rules.Action = "/dialog/oauth/confirm";
  Rules.Current = Current;
  Rules.RequireReturn = true;
  if (Current) Rules.CheckPath = CheckVersion;
  Rules.RefuseClient = RefuseClient;
  Rules.CheckRequest = [Current](const TSimRequest& R, TAuthorizationRequest& Request) {
    return CheckDialogRequest(R, Request, Current);
  };
  Rules.DescribeScope = [Current](const std::string& P) { return DescribePermission(P, Current); };
  Rules.UnknownScope = [](const std::string& P) {
    return TRefusal{"Invalid Scopes: " + P, "This message is only shown to developers."};
  };
  return Rules;
}

TConsentRules ConfirmRules() {
  TConsentRules Rules;
  Rules.Provider = "Facebook";
  Rules.UnknownTicket = {"Error", "This dialog was already answered or has expired."};
  Rules.UnknownAccount = {"Error", "No such account is logged in."};
  Rules.NewCode = [] { return "AQ" + RandomText(200, kUrlSafe); };
  Rules.Denied = {{"error", "access_denied"},
                  {"error_code", "200"},
                  {"error_description", "Permissions error"},
                  {"error_reason", "user_denied"}};
  // Facebook ends its redirect with this fragment; a browser keeps it to itself.
  Rules.ReturnSuffix = "#_=_";
  return Rules;
}

// The code exchange, unversioned or (Current) versioned; the versioned one always answers JSON
// and takes "code_verifier". A code issued with a challenge needs the verifier that answers it,
// also at the unversioned endpoint, which takes none.
TSimResponse AccessToken(const TStatePtr& S, const TSimRequest& R, bool Current) {
  if (Current && !ValidVersion(VersionOf(R)))
    return GraphError(400, "Unknown path components: " + R.Path, 2500);
  const rtl::TStringList& Q = R.Query;
  if (Q.IndexOfName("client_id") < 0) return GraphError(400, "Missing client_id parameter.", 101);
  const auto App = S->Grants.FindApp(Q.Values("client_id"));
  if (!App) return GraphError(400, "Error validating application. Invalid application ID.", 101);
  if (Q.Values("redirect_uri").empty())
    return GraphError(400, "Missing redirect_uri parameter.", 191);
  if (App->Secret != Q.Values("client_secret"))
    return GraphError(400, "Error validating client secret.", 1);
  if (Q.Values("code").empty()) return GraphError(400, "Missing authorization code", 1);
  TGrant Grant;
  std::optional<std::string> Verifier;
  if (Current && Q.IndexOfName("code_verifier") >= 0) Verifier = Q.Values("code_verifier");
  switch (S->Grants.RedeemCode(Q.Values("code"), App->ClientId, Q.Values("redirect_uri"), Verifier,
                               Grant)) {
    case TCodeRefusal::None:
      break;
    case TCodeRefusal::Unknown:
      return GraphError(400, "Invalid verification code format.", 100);
    case TCodeRefusal::Used:
      return GraphError(400, "This authorization code has been used.", 100);
    case TCodeRefusal::OtherClient:
      return GraphError(400, "Error validating verification code.", 100);
    case TCodeRefusal::OtherRedirect:
      return GraphError(400,
                        "Error validating verification code. Please make sure your redirect_uri "
                        "is identical to the one you used in the OAuth dialog request",
                        100);
    case TCodeRefusal::MissingVerifier:
      return GraphError(400,
                        "Error validating verification code. The code_verifier parameter is "
                        "required: the OAuth dialog request carried a code_challenge.",
                        100);
    case TCodeRefusal::WrongVerifier:
      return GraphError(400,
                        "Error validating verification code. The code_verifier does not match "
                        "the code_challenge of the OAuth dialog request.",
                        100);
    case TCodeRefusal::UnexpectedVerifier:
      return GraphError(400,
                        "Error validating verification code. A code_verifier was sent, but the "
                        "OAuth dialog request carried no code_challenge.",
                        100);
  }
  const std::string Token = S->Grants.IssueToken(Grant, "EAAB" + RandomText(180, kAlphaNumeric));
  bool Legacy = false;
  {
    std::lock_guard L(S->Mutex);
    Legacy = S->LegacyTokenReply && !Current;
  }
  if (Legacy)
    return TSimResponse::Text("access_token=" + Token + "&expires=5183944",
                              "text/plain; charset=UTF-8");
  return Json(200, {{"access_token", Token}, {"token_type", "bearer"}, {"expires_in", 5183944}});
}

// The profile, unversioned or (Current) versioned. The versioned one checks appsecret_proof:
// required while the app requires it, and checked whenever it is sent.
TSimResponse Me(const TStatePtr& S, const TSimRequest& R, bool Current) {
  if (Current && !ValidVersion(VersionOf(R)))
    return GraphError(400, "Unknown path components: " + R.Path, 2500);
  const std::string Token = R.Query.Values("access_token");
  if (Token.empty())
    return GraphError(400,
                      "An active access token must be used to query information about the "
                      "current user.",
                      2500);
  const auto Grant = S->Grants.FindToken(Token);
  if (!Grant) return GraphError(400, "Invalid OAuth access token.", 190);
  if (Current) {
    bool Required = false;
    {
      std::lock_guard L(S->Mutex);
      Required = S->RequireAppSecretProof;
    }
    const auto App = S->Grants.FindApp(Grant->Request.ClientId);
    if (R.Query.IndexOfName("appsecret_proof") >= 0) {
      if (!App || R.Query.Values("appsecret_proof") != AppSecretProof(Token, App->Secret))
        return GraphError(400, "Invalid appsecret_proof provided in the API argument", 100,
                          "GraphMethodException");
    } else if (Required) {
      return GraphError(400, "API calls from the server require an appsecret_proof argument", 100,
                        "GraphMethodException");
    }
  }
  const TSimUser& U = Grant->User;
  std::string Fields = R.Query.Values("fields");
  if (Fields.empty()) Fields = "id,name";
  json Profile = json::object();
  for (const auto& F : SplitScopeList(Fields)) {
    if (F == "id") {
      Profile["id"] = U.Id;
    } else if (F == "name") {
      Profile["name"] = U.Name;
    } else if (F == "first_name") {
      if (!U.FirstName.empty()) Profile["first_name"] = U.FirstName;
    } else if (F == "last_name") {
      if (!U.LastName.empty()) Profile["last_name"] = U.LastName;
    } else if (F == "gender") {
      if (!U.Gender.empty()) Profile["gender"] = U.Gender;
    } else if (F == "email") {
      if (Granted(*Grant, "email") && !U.Email.empty()) Profile["email"] = U.Email;
    } else if (F == "birthday") {
      if (Granted(*Grant, "user_birthday") && U.BirthYear != 0)
        Profile["birthday"] = TwoDigits(U.BirthMonth) + "/" + TwoDigits(U.BirthDay) + "/" +
                              std::to_string(U.BirthYear);
    } else if (F == "picture") {
      Profile["picture"] = {
          {"data",
           {{"height", 50},
            {"is_silhouette", U.Picture.empty()},
            {"url", U.Picture.empty() ? "https://static.fb.test/silhouette.gif" : U.Picture},
            {"width", 50}}}};
    } else {
      return GraphError(
          400, "(#100) Tried accessing nonexisting field (" + F + ") on node type (User)", 100);
    }
  }
  return Json(200, Profile);
}

TSimResponse Publish(const TStatePtr& S, const TSimRequest& R) {
  const std::string Token = R.Query.Values("access_token");
  const auto Grant = Token.empty() ? std::nullopt : S->Grants.FindToken(Token);
  if (!Grant) return RestError(R, 190, "Invalid OAuth 2.0 Access Token");
  if (!Granted(*Grant, "publish_stream") && !Granted(*Grant, "publish_actions"))
    return RestError(R, 200, "The user hasn't authorized the application to perform this action");
  const std::string Message = R.Query.Values("message");
  if (Message.empty()) return RestError(R, 100, "Invalid parameter");
  std::string PostId;
  {
    std::lock_guard L(S->Mutex);
    PostId = std::to_string(S->NextPostId++);
    S->Posts.push_back({Grant->User.Id, PostId, Message});
  }
  return Json(200, json(Grant->User.Id + "_" + PostId));
}

}  // namespace

FacebookSim::FacebookSim(Simulator& Sim) : FState(std::make_shared<FacebookSim::TState>()) {
  FState->Grants.AddApp(DefaultApp());
  FState->Grants.SetUser(DefaultUser());
  const TStatePtr S = FState;
  Sim.Route(kFacebook, "GET", "/dialog/oauth",
            [S, Rules = DialogRules(false)](const TSimRequest& R) {
              return AuthorizePage(S->Grants, R, Rules);
            });
  Sim.Route(kFacebook, "GET", "/*/dialog/oauth",
            [S, Rules = DialogRules(true)](const TSimRequest& R) {
              return AuthorizePage(S->Grants, R, Rules);
            });
  Sim.Route(kFacebook, "POST", "/dialog/oauth/confirm",
            [S, Rules = ConfirmRules()](const TSimRequest& R) {
              return AnswerConsent(S->Grants, R, Rules);
            });
  Sim.Route(kFacebook, "GET", "/oauth/access_token",
            [S](const TSimRequest& R) { return AccessToken(S, R, false); });
  Sim.Route(kFacebook, "GET", "/*/oauth/access_token",
            [S](const TSimRequest& R) { return AccessToken(S, R, true); });
  Sim.Route(kFacebook, "GET", "/me", [S](const TSimRequest& R) { return Me(S, R, false); });
  Sim.Route(kFacebook, "GET", "/*/me", [S](const TSimRequest& R) { return Me(S, R, true); });
  Sim.Route(kFacebook, "GET", "/method/stream.publish",
            [S](const TSimRequest& R) { return Publish(S, R); });
  Sim.Route(kFacebook, "POST", "/method/stream.publish",
            [S](const TSimRequest& R) { return Publish(S, R); });
}

void FacebookSim::AddApp(TSimApp App) {
  FState->Grants.AddApp(std::move(App));
}
void FacebookSim::SetUser(TSimUser User) {
  FState->Grants.SetUser(std::move(User));
}
void FacebookSim::AddUser(TSimUser User) {
  FState->Grants.AddUser(std::move(User));
}

TSimUser FacebookSim::User() const {
  return FState->Grants.User();
}
void FacebookSim::RevokeTokens() {
  FState->Grants.RevokeTokens();
}
std::size_t FacebookSim::OutstandingCodes() const {
  return FState->Grants.OutstandingCodes();
}

void FacebookSim::SetRequireAppSecretProof(bool Value) {
  std::lock_guard L(FState->Mutex);
  FState->RequireAppSecretProof = Value;
}

void FacebookSim::SetLegacyTokenReply(bool Value) {
  std::lock_guard L(FState->Mutex);
  FState->LegacyTokenReply = Value;
}

std::vector<FacebookSim::TPost> FacebookSim::Posts() const {
  std::lock_guard L(FState->Mutex);
  return FState->Posts;
}

TSimApp FacebookSim::DefaultApp() {
  return {"1234567890123", "facebook-app-secret", {}};
}

TSimUser FacebookSim::DefaultUser() {
  TSimUser U;
  U.Id = "100004471234567";
  U.Name = "Renée 山田";
  U.FirstName = "Renée";
  U.LastName = "山田";
  U.Email = "renee.yamada@facebook.test";
  U.Gender = "female";
  U.BirthYear = 1984;
  U.BirthMonth = 7;
  U.BirthDay = 21;
  U.Picture = "https://graph.fb.test/100004471234567/picture";
  return U;
}

}  // namespace zelk::sim
