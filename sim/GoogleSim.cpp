#include "sim/GoogleSim.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "platform/rtl/SysUtils.h"
#include "sim/ConsentPage.h"

namespace zelk::sim {

namespace {

using nlohmann::json;
using TGrantsPtr = std::shared_ptr<TOAuth2Grants>;

constexpr TProviderId kGoogle = TProviderId::Google;

TSimResponse Json(int Status, const json& Body) {
  TSimResponse R;
  R.Status = Status;
  R.ContentType = "application/json; charset=utf-8";
  // Text echoed from a request may be invalid UTF-8: replaced, it cannot fail the reply.
  R.Body = Body.dump(-1, ' ', false, json::error_handler_t::replace);
  return R;
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

std::vector<std::string> SplitScopes(const std::string& Text) {
  std::vector<std::string> Scopes;
  std::size_t Start = 0;
  while (Start <= Text.size()) {
    const std::size_t End = Text.find(' ', Start);
    std::string S = Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    if (!S.empty()) Scopes.push_back(std::move(S));
    if (End == std::string::npos) break;
    Start = End + 1;
  }
  return Scopes;
}

TSimResponse Authorize(const TGrantsPtr& Grants, const TSimRequest& R) {
  const std::string ClientId = R.Query.Values("client_id");
  const std::string RedirectURI = R.Query.Values("redirect_uri");
  if (ClientId.empty())
    return TSimResponse::Html(RenderErrorPage("Google", "Error: invalid_request",
                                              "Missing required parameter: client_id"),
                              400);
  const auto App = Grants->FindApp(ClientId);
  if (!App)
    return TSimResponse::Html(
        RenderErrorPage("Google", "Error: invalid_client", "The OAuth client was not found."), 401);
  if (RedirectURI.empty())
    return TSimResponse::Html(RenderErrorPage("Google", "Error: invalid_request",
                                              "Missing required parameter: redirect_uri"),
                              400);
  if (!App->RedirectURIs.empty() && std::find(App->RedirectURIs.begin(), App->RedirectURIs.end(),
                                              RedirectURI) == App->RedirectURIs.end())
    return TSimResponse::Html(
        RenderErrorPage("Google", "Error: redirect_uri_mismatch",
                        "The redirect URI in the request, " + RedirectURI +
                            ", does not match the ones authorized for the OAuth client."),
        400);
  if (R.Query.Values("response_type") != "code")
    return TSimResponse::Html(
        RenderErrorPage("Google", "Error: invalid_request",
                        "Invalid response_type: " + R.Query.Values("response_type")),
        400);

  TAuthorizationRequest Request;
  Request.ClientId = ClientId;
  Request.RedirectURI = RedirectURI;
  Request.HasState = R.Query.IndexOfName("state") >= 0;
  Request.State = R.Query.Values("state");
  Request.Scopes = SplitScopes(R.Query.Values("scope"));
  if (Request.Scopes.empty())
    return TSimResponse::Html(
        RenderErrorPage("Google", "Error: invalid_request", "Missing required parameter: scope"),
        400);

  TConsentPage Page;
  Page.Provider = "Google";
  Page.UserName = Grants->User().Name;
  Page.Accounts = Grants->Accounts();
  Page.ClientId = ClientId;
  for (const auto& S : Request.Scopes) {
    const std::string Description = DescribeScope(S);
    if (Description.empty())
      return TSimResponse::Html(RenderErrorPage("Google", "Error: invalid_scope",
                                                "Some requested scopes were invalid: " + S),
                                400);
    Page.Scopes.emplace_back(S, Description);
  }
  Page.Action = "/o/oauth2/approval";
  Page.Ticket = Grants->OpenConsent(std::move(Request));
  return TSimResponse::Html(RenderConsentPage(Page));
}

TSimResponse Approve(const TGrantsPtr& Grants, const TSimRequest& R) {
  const rtl::TStringList Form = R.Form();
  const auto Request = Grants->TakeConsent(Form.Values("consent"));
  if (!Request)
    return TSimResponse::Html(
        RenderErrorPage("Google", "Error: invalid_request",
                        "This consent request is unknown or was already answered."),
        400);
  const auto User = Grants->ConsentUser(Form.Values("user_id"));
  if (!User)
    return TSimResponse::Html(
        RenderErrorPage("Google", "Error: invalid_request", "No such account is signed in."), 400);
  std::vector<std::pair<std::string, std::string>> Params;
  if (Form.Values("decision") == "allow") {
    if (Request->HasState) Params.emplace_back("state", Request->State);
    // Google's codes carry a "/", which a client must encode when it sends the code on.
    Params.emplace_back("code",
                        Grants->IssueCode(*Request, "4/" + RandomText(40, kUrlSafe), *User));
  } else {
    Params.emplace_back("error", "access_denied");
    if (Request->HasState) Params.emplace_back("state", Request->State);
  }
  return TSimResponse::Redirect(AppendQuery(Request->RedirectURI, Params));
}

TSimResponse Token(const TGrantsPtr& Grants, const TSimRequest& R) {
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
  switch (Grants->RedeemCode(Code, App->ClientId, Form.Values("redirect_uri"), Grant)) {
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
  }
  const std::string Token = Grants->IssueToken(Grant, "ya29." + RandomText(60, kUrlSafe));
  std::string ScopeText;
  for (const auto& S : Grant.Request.Scopes)
    ScopeText += (ScopeText.empty() ? "" : " ") + S;
  return Json(200, {{"access_token", Token},
                    {"expires_in", 3599},
                    {"scope", ScopeText},
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

}  // namespace

GoogleSim::GoogleSim(Simulator& Sim) {
  FGrants->AddApp(DefaultApp());
  FGrants->SetUser(DefaultUser());
  const TGrantsPtr G = FGrants;
  Sim.Route(kGoogle, "GET", "/o/oauth2/auth",
            [G](const TSimRequest& R) { return Authorize(G, R); });
  Sim.Route(kGoogle, "POST", "/o/oauth2/approval",
            [G](const TSimRequest& R) { return Approve(G, R); });
  Sim.Route(kGoogle, "POST", "/o/oauth2/token", [G](const TSimRequest& R) { return Token(G, R); });
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
