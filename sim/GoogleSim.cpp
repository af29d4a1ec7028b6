#include "sim/GoogleSim.h"

#include <algorithm>

#include "platform/rtl/SysUtils.h"
#include "sim/JsonReply.h"
#include "sim/OAuth2Current.h"
#include "sim/OAuth2Dialog.h"

namespace zelk::sim {

namespace {

using nlohmann::json;
using TGrantsPtr = std::shared_ptr<TOAuth2Grants>;

constexpr TProviderId kGoogle = TProviderId::Google;

TSimResponse Json(int Status, const json& Body) {
  return JsonReply(Status, Body, "application/json; charset=utf-8");
}

// The token endpoint's error format.
TSimResponse TokenError(int Status, const std::string& Error, const std::string& Description) {
  return Json(Status, {{"error", Error}, {"error_description", Description}});
}

TSimResponse InvalidCredentials() {
  return Json(401, {{"error",
                     {{"errors",
                       {{{"domain", "global"},
                         {"reason", "authError"},
                         {"message", "Invalid Credentials"},
                         {"locationType", "header"},
                         {"location", "Authorization"}}}},
                      {"code", 401},
                      {"message", "Invalid Credentials"}}}});
}

constexpr std::string_view kScopePrefix = "https://www.googleapis.com/auth/userinfo.";

// The scopes a client may ask for, by the name it sends, with the text the consent page shows.
// Google knows its scopes by fixed names: a scope address on any other host is unknown, as it
// would be to Google.
std::string DescribeScope(const std::string& Scope) {
  if (Scope == "profile" || Scope == std::string(kScopePrefix) + "profile")
    return "View your basic profile info";
  if (Scope == "email" || Scope == std::string(kScopePrefix) + "email")
    return "View your email address";
  if (Scope == "openid") return "Associate you with your personal info on Google";
  return {};
}

bool Granted(const TGrant& G, std::string_view Which) {
  for (const auto& S : G.Request.Scopes)
    if (S == Which || S == std::string(kScopePrefix) + std::string(Which)) return true;
  return false;
}

TRefusal InvalidRequest(std::string Description) {
  return {"Error: invalid_request", std::move(Description)};
}

TRefusal RefuseClient(TAuthorizeCheck Check, const TSimRequest& R) {
  switch (Check) {
    case TAuthorizeCheck::MissingClient:
      return InvalidRequest("Missing required parameter: client_id");
    case TAuthorizeCheck::UnknownClient:
      return {"Error: invalid_client", "The OAuth client was not found.", 401};
    case TAuthorizeCheck::MissingReturn:
      return InvalidRequest("Missing required parameter: redirect_uri");
    case TAuthorizeCheck::UnregisteredReturn:
      break;
  }
  return {"Error: redirect_uri_mismatch",
          "The redirect URI in the request, " + R.Query.Values("redirect_uri") +
              ", does not match the ones authorized for the OAuth client."};
}

// The authorization page of both generations. The current one (Current) also refuses a return
// address with a query or one not registered exactly, and binds a PKCE challenge to the code.
TAuthorizeRules AuthorizeRules(bool Current) {
  TAuthorizeRules Rules;
  Rules.Provider = "Google";
  Rules.Action = "/o/oauth2/approval";
  Rules.Current = Current;
  Rules.RequireClientId = true;
  Rules.RequireReturn = true;
  Rules.ScopeSeparators = " ";
  Rules.RefuseClient = RefuseClient;
  Rules.CheckRequest = [Current](const TSimRequest& R,
                                 TAuthorizationRequest& Request) -> std::optional<TRefusal> {
    if (R.Query.Values("response_type") != "code")
      return InvalidRequest("Invalid response_type: " + R.Query.Values("response_type"));
    if (Request.Scopes.empty()) return InvalidRequest("Missing required parameter: scope");
    if (Current)
      if (std::string Problem = ReadPkceChallenge(R, Request); !Problem.empty())
        return InvalidRequest(std::move(Problem));
    return std::nullopt;
  };
  Rules.DescribeScope = DescribeScope;
  Rules.UnknownScope = [](const std::string& S) {
    return TRefusal{"Error: invalid_scope", "Some requested scopes were invalid: " + S};
  };
  return Rules;
}

TConsentRules ConsentRules() {
  TConsentRules Rules;
  Rules.Provider = "Google";
  Rules.UnknownTicket = InvalidRequest("This consent request is unknown or was already answered.");
  Rules.UnknownAccount = InvalidRequest("No such account is signed in.");
  // Google's codes carry a "/", which a client must encode when it sends the code on.
  Rules.NewCode = [] { return "4/" + RandomText(40, kUrlSafe); };
  Rules.Denied = {{"error", "access_denied"}};
  Rules.StateFirst = true;
  return Rules;
}

// The token endpoint of both generations; the current one (Current) takes "code_verifier".
TSimResponse Token(const TGrantsPtr& Grants, const TSimRequest& R, bool Current) {
  if (!rtl::SameText(R.Header("Content-Type").substr(0, 33), "application/x-www-form-urlencoded"))
    return TokenError(400, "invalid_request",
                      "Bad Request: the body must be application/x-www-form-urlencoded");
  const rtl::TStringList Form = R.Form();
  if (const auto Dup = DuplicateNames(Form.Items()); !Dup.empty())
    return TokenError(400, "invalid_request", "Duplicate parameter: " + Dup.front());
  if (Form.Values("grant_type") != "authorization_code")
    return TokenError(400, "unsupported_grant_type",
                      "Invalid grant_type: " + Form.Values("grant_type"));
  const auto App = Grants->FindApp(Form.Values("client_id"));
  if (!App) return TokenError(401, "invalid_client", "The OAuth client was not found.");
  if (App->Secret != Form.Values("client_secret"))
    return TokenError(401, "invalid_client", "Unauthorized");
  const std::string Code = Form.Values("code");
  if (Code.empty()) return TokenError(400, "invalid_request", "Missing required parameter: code");
  TGrant Grant;
  std::optional<std::string> Verifier;
  if (Current && Form.IndexOfName("code_verifier") >= 0) Verifier = Form.Values("code_verifier");
  switch (Grants->RedeemCode(Code, App->ClientId, Form.Values("redirect_uri"), Verifier, Grant)) {
    case TCodeRefusal::None:
      break;
    case TCodeRefusal::Unknown:
      return TokenError(400, "invalid_grant", "Malformed auth code.");
    case TCodeRefusal::Used:
      return TokenError(400, "invalid_grant", "Code was already redeemed.");
    case TCodeRefusal::OtherClient:
      return TokenError(400, "invalid_grant", "Bad Request");
    case TCodeRefusal::OtherRedirect:
      return TokenError(400, "redirect_uri_mismatch", "Bad Request");
    case TCodeRefusal::MissingVerifier:
      return TokenError(400, "invalid_grant", "Missing code verifier.");
    case TCodeRefusal::WrongVerifier:
      return TokenError(400, "invalid_grant", "Invalid code verifier.");
    case TCodeRefusal::UnexpectedVerifier:
      return TokenError(400, "invalid_grant", "code_verifier or verifier is not needed.");
  }
  const std::string Token = Grants->IssueToken(Grant, "ya29." + RandomText(60, kUrlSafe));
  return Json(200, {{"access_token", Token},
                    {"expires_in", 3599},
                    {"scope", JoinScopes(Grant.Request)},
                    {"token_type", "Bearer"}});
}

TSimResponse UserInfo(const TGrantsPtr& Grants, const TSimRequest& R) {
  std::string Token = R.Query.Values("access_token");
  if (Token.empty()) {
    const std::string Auth = R.Header("Authorization");
    if (rtl::SameText(Auth.substr(0, 7), "Bearer ")) Token = Auth.substr(7);
  }
  const auto Grant = Token.empty() ? std::nullopt : Grants->FindToken(Token);
  if (!Grant) return InvalidCredentials();
  const TSimUser& U = Grant->User;
  json Profile = json::object();
  Profile["id"] = U.Id;
  if (Granted(*Grant, "email") && !U.Email.empty()) {
    Profile["email"] = U.Email;
    Profile["verified_email"] = true;
  }
  if (Granted(*Grant, "profile")) {
    Profile["name"] = U.Name;
    if (!U.FirstName.empty()) Profile["given_name"] = U.FirstName;
    if (!U.LastName.empty()) Profile["family_name"] = U.LastName;
    Profile["link"] = "https://plus.google.test/" + U.Id;
    if (!U.Picture.empty()) Profile["picture"] = U.Picture;
    if (!U.Gender.empty()) Profile["gender"] = U.Gender;
    Profile["locale"] = "en";
  }
  return Json(200, Profile);
}

// The OpenID Connect userinfo endpoint: the token only in the Authorization header.
TSimResponse OpenIdUserInfo(const TGrantsPtr& Grants, const TSimRequest& R) {
  const std::string Token = BearerToken(R);
  const auto Grant = Token.empty() ? std::nullopt : Grants->FindToken(Token);
  if (!Grant) {
    TSimResponse Refused =
        Json(401, {{"error", Token.empty() ? "invalid_request" : "invalid_token"},
                   {"error_description", "Invalid Credentials"}});
    Refused.Headers.emplace_back("WWW-Authenticate",
                                 Token.empty() ? "Bearer realm=\"https://accounts.google.com/\""
                                               : "Bearer realm=\"https://accounts.google.com/\", "
                                                 "error=\"invalid_token\"");
    return Refused;
  }
  const TSimUser& U = Grant->User;
  json Profile = json::object();
  Profile["sub"] = U.Id;
  if (Granted(*Grant, "profile")) {
    Profile["name"] = U.Name;
    if (!U.FirstName.empty()) Profile["given_name"] = U.FirstName;
    if (!U.LastName.empty()) Profile["family_name"] = U.LastName;
    if (!U.Picture.empty()) Profile["picture"] = U.Picture;
    Profile["locale"] = "en";
  }
  if (Granted(*Grant, "email") && !U.Email.empty()) {
    Profile["email"] = U.Email;
    Profile["email_verified"] = U.EmailVerified;
  }
  return Json(200, Profile);
}

}  // namespace

GoogleSim::GoogleSim(Simulator& Sim) {
  FGrants->AddApp(DefaultApp());
  FGrants->SetUser(DefaultUser());
  const TGrantsPtr G = FGrants;
  Sim.Route(kGoogle, "GET", "/o/oauth2/auth",
            [G, Rules = AuthorizeRules(false)](const TSimRequest& R) {
              return AuthorizePage(*G, R, Rules);
            });
  Sim.Route(
      kGoogle, "POST", "/o/oauth2/approval",
      [G, Rules = ConsentRules()](const TSimRequest& R) { return AnswerConsent(*G, R, Rules); });
  Sim.Route(kGoogle, "POST", "/o/oauth2/token",
            [G](const TSimRequest& R) { return Token(G, R, false); });
  Sim.Route(kGoogle, "GET", "/o/oauth2/v2/auth",
            [G, Rules = AuthorizeRules(true)](const TSimRequest& R) {
              return AuthorizePage(*G, R, Rules);
            });
  Sim.Route(kGoogle, "POST", "/token", [G](const TSimRequest& R) { return Token(G, R, true); });
  Sim.Route(kGoogle, "GET", "/v1/userinfo",
            [G](const TSimRequest& R) { return OpenIdUserInfo(G, R); });
  Sim.Route(kGoogle, "GET", "/oauth2/v1/userinfo",
            [G](const TSimRequest& R) { return UserInfo(G, R); });
}

void GoogleSim::SetPreApprovedCodePrefix(std::string Prefix) {
  FGrants->SetPreApprovedCodes(std::move(Prefix), {"profile", "email"});
}

TSimApp GoogleSim::DefaultApp() {
  return {"google-client-id.apps.googleusercontent.test", "google-secret", {}};
}

TSimUser GoogleSim::DefaultUser() {
  TSimUser U;
  U.Id = "108204268033311374519";
  U.Name = "Zoë Ünal";
  U.FirstName = "Zoë";
  U.LastName = "Ünal";
  U.Email = "zoe.unal@gmail.test";
  U.Gender = "female";
  U.Picture = "https://lh3.googleusercontent.test/a/zoe.jpg";
  return U;
}

}  // namespace zelk::sim
