#include "sim/WindowsLiveSim.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "platform/rtl/SysUtils.h"
#include "sim/ConsentPage.h"

namespace zelk::sim {

namespace {

using nlohmann::json;
using TGrantsPtr = std::shared_ptr<TOAuth2Grants>;
constexpr TProviderId kLive = TProviderId::WindowsLive;

TSimResponse Json(int Status, const json& Body) {
  TSimResponse R;
  R.Status = Status;
  R.ContentType = "application/json; charset=UTF-8";
  // Text echoed from a request may be invalid UTF-8: replaced, it cannot fail the reply.
  R.Body = Body.dump(-1, ' ', false, json::error_handler_t::replace);
  return R;
}

TSimResponse TokenError(const std::string& Error, const std::string& Description) {
  return Json(400, {{"error", Error}, {"error_description", Description}});
}

TSimResponse ApiError(int Status, const std::string& Code, const std::string& Message) {
  return Json(Status, {{"error", {{"code", Code}, {"message", Message}}}});
}

std::string DescribeScope(const std::string& S) {
  if (S == "wl.basic") return "Access your profile info and contact list";
  if (S == "wl.signin") return "Sign you in automatically";
  if (S == "wl.birthday") return "Access your birthday";
  if (S == "wl.emails") return "Access your email addresses";
  if (S == "wl.offline_access") return "Access your info anytime";
  return {};
}

std::vector<std::string> SplitScopes(const std::string& Text) {
  std::vector<std::string> Items;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = Text.find_first_of(", ", Start);
    std::string S = Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    if (!S.empty()) Items.push_back(std::move(S));
    if (End == std::string::npos) break;
    Start = End + 1;
  }
  return Items;
}

bool Granted(const TGrant& G, const std::string& Scope) {
  return std::find(G.Request.Scopes.begin(), G.Request.Scopes.end(), Scope) !=
         G.Request.Scopes.end();
}

json OrNull(const std::string& S) {
  return S.empty() ? json(nullptr) : json(S);
}

TSimResponse Authorize(const TGrantsPtr& Grants, const TSimRequest& R) {
  const std::string ClientId = R.Query.Values("client_id");
  const std::string RedirectURI = R.Query.Values("redirect_uri");
  const auto App = Grants->FindApp(ClientId);
  if (!App)
    return TSimResponse::Html(
        RenderErrorPage("Microsoft account", "invalid_client",
                        "The client does not exist. If you are the application developer, "
                        "configure a new application through the application management site."),
        400);
  if (RedirectURI.empty() ||
      (!App->RedirectURIs.empty() && std::find(App->RedirectURIs.begin(), App->RedirectURIs.end(),
                                               RedirectURI) == App->RedirectURIs.end()))
    return TSimResponse::Html(
        RenderErrorPage("Microsoft account", "invalid_request",
                        "The provided value for the input parameter 'redirect_uri' is not valid."),
        400);

  TAuthorizationRequest Request;
  Request.ClientId = ClientId;
  Request.RedirectURI = RedirectURI;
  Request.HasState = R.Query.IndexOfName("state") >= 0;
  Request.State = R.Query.Values("state");
  Request.Scopes = SplitScopes(R.Query.Values("scope"));

  // With a trusted return address, request errors go back to the application.
  auto Refuse = [&](const std::string& Error, const std::string& Description) {
    std::vector<std::pair<std::string, std::string>> Params = {{"error", Error},
                                                               {"error_description", Description}};
    if (Request.HasState) Params.emplace_back("state", Request.State);
    return TSimResponse::Redirect(AppendQuery(RedirectURI, Params));
  };
  if (R.Query.Values("response_type") != "code")
    return Refuse("unsupported_response_type",
                  "The provided value for the input parameter 'response_type' is not valid.");

  TConsentPage Page;
  Page.Provider = "Microsoft account";
  Page.UserName = Grants->User().Name;
  Page.Accounts = Grants->Accounts();
  Page.ClientId = ClientId;
  for (const auto& S : Request.Scopes) {
    const std::string Description = DescribeScope(S);
    if (Description.empty())
      return Refuse("invalid_scope",
                    "The provided value for the input parameter 'scope' is not valid.");
    Page.Scopes.emplace_back(S, Description);
  }
  if (Page.Scopes.empty())
    return Refuse("invalid_request", "The request is missing required parameter 'scope'.");
  Page.Action = "/oauth20_authorize.srf";
  Page.Ticket = Grants->OpenConsent(std::move(Request));
  return TSimResponse::Html(RenderConsentPage(Page));
}

TSimResponse Consent(const TGrantsPtr& Grants, const TSimRequest& R) {
  const rtl::TStringList Form = R.Form();
  const auto Request = Grants->TakeConsent(Form.Values("consent"));
  if (!Request)
    return TSimResponse::Html(
        RenderErrorPage("Microsoft account", "invalid_request",
                        "This consent request is unknown or was already answered."),
        400);
  const auto User = Grants->ConsentUser(Form.Values("user_id"));
  if (!User)
    return TSimResponse::Html(
        RenderErrorPage("Microsoft account", "invalid_request", "No such account is signed in."),
        400);
  std::vector<std::pair<std::string, std::string>> Params;
  if (Form.Values("decision") == "allow") {
    // Live's codes look like "M" and a GUID.
    const std::string H = RandomText(32, "0123456789abcdef");
    const std::string Guid = H.substr(0, 8) + "-" + H.substr(8, 4) + "-" + H.substr(12, 4) + "-" +
                             H.substr(16, 4) + "-" + H.substr(20, 12);
    Params.emplace_back("code", Grants->IssueCode(*Request, "M" + Guid, *User));
  } else {
    Params = {{"error", "access_denied"},
              {"error_description",
               "The user has denied access to the scope requested by the client application."}};
  }
  if (Request->HasState) Params.emplace_back("state", Request->State);
  return TSimResponse::Redirect(AppendQuery(Request->RedirectURI, Params));
}

TSimResponse Token(const TGrantsPtr& Grants, const TSimRequest& R) {
  if (!rtl::SameText(R.Header("Content-Type").substr(0, 33), "application/x-www-form-urlencoded"))
    return TokenError("invalid_request", "The request body must be form-encoded.");
  const rtl::TStringList Form = R.Form();
  if (const auto Dup = DuplicateNames(Form.Items()); !Dup.empty())
    return TokenError("invalid_request",
                      "The request has a duplicate parameter '" + Dup.front() + "'.");
  if (Form.Values("grant_type") != "authorization_code")
    return TokenError("unsupported_grant_type",
                      "The provided value for the input parameter 'grant_type' is not valid.");
  const auto App = Grants->FindApp(Form.Values("client_id"));
  if (!App || App->Secret != Form.Values("client_secret"))
    return TokenError("invalid_client", "The client does not exist or the secret is not valid.");
  if (Form.Values("code").empty())
    return TokenError("invalid_request", "The request is missing required parameter 'code'.");
  TGrant Grant;
  switch (
      Grants->RedeemCode(Form.Values("code"), App->ClientId, Form.Values("redirect_uri"), Grant)) {
    case TCodeRefusal::None:
      break;
    case TCodeRefusal::Unknown:
    case TCodeRefusal::Used:
    case TCodeRefusal::OtherClient:
      return TokenError("invalid_grant",
                        "The provided value for the 'code' parameter is not valid.");
    case TCodeRefusal::OtherRedirect:
      return TokenError("invalid_grant",
                        "The provided value for the 'redirect_uri' is not valid. The value must "
                        "exactly match the redirect URI used to obtain the authorization code.");
  }
  // Live's tokens are Base64 text: "+", "/" and "=" included.
  const std::string Token = Grants->IssueToken(Grant, "EwB" + RandomText(120, kBase64) + "=");
  std::string ScopeText;
  for (const auto& S : Grant.Request.Scopes)
    ScopeText += (ScopeText.empty() ? "" : " ") + S;
  return Json(200, {{"token_type", "bearer"},
                    {"expires_in", 3600},
                    {"scope", ScopeText},
                    {"access_token", Token}});
}

TSimResponse Me(const TGrantsPtr& Grants, const TSimRequest& R) {
  const std::string Token = R.Query.Values("access_token");
  if (Token.empty())
    return ApiError(401, "request_token_missing",
                    "This request requires an access token. Provide one with the access_token "
                    "query parameter.");
  const auto Grant = Grants->FindToken(Token);
  if (!Grant) return ApiError(401, "request_token_invalid", "The access token isn't valid.");
  const TSimUser& U = Grant->User;
  json Profile = json::object();
  Profile["id"] = U.Id;
  Profile["name"] = U.Name;
  Profile["first_name"] = OrNull(U.FirstName);
  Profile["last_name"] = OrNull(U.LastName);
  Profile["link"] = "https://profile.live.test/cid-" + U.Id + "/";
  Profile["gender"] = OrNull(U.Gender);
  if (Granted(*Grant, "wl.birthday")) {
    Profile["birth_day"] = U.BirthDay != 0 ? json(U.BirthDay) : json(nullptr);
    Profile["birth_month"] = U.BirthMonth != 0 ? json(U.BirthMonth) : json(nullptr);
    Profile["birth_year"] = U.BirthYear != 0 ? json(U.BirthYear) : json(nullptr);
  }
  if (Granted(*Grant, "wl.emails"))
    Profile["emails"] = {{"preferred", OrNull(U.Email)},
                         {"account", OrNull(U.Email)},
                         {"personal", nullptr},
                         {"business", nullptr}};
  Profile["locale"] = "en_US";
  Profile["updated_time"] = "2013-05-01T10:11:12+0000";
  return Json(200, Profile);
}

}  // namespace

WindowsLiveSim::WindowsLiveSim(Simulator& Sim) {
  FGrants->AddApp(DefaultApp());
  FGrants->SetUser(DefaultUser());
  const TGrantsPtr G = FGrants;
  Sim.Route(kLive, "GET", "/oauth20_authorize.srf",
            [G](const TSimRequest& R) { return Authorize(G, R); });
  Sim.Route(kLive, "POST", "/oauth20_authorize.srf",
            [G](const TSimRequest& R) { return Consent(G, R); });
  Sim.Route(kLive, "POST", "/oauth20_token.srf", [G](const TSimRequest& R) { return Token(G, R); });
  Sim.Route(kLive, "GET", "/v5.0/me", [G](const TSimRequest& R) { return Me(G, R); });
}

TSimApp WindowsLiveSim::DefaultApp() {
  return {"000000004C0FFEE1", "live-client-secret", {}};
}

TSimUser WindowsLiveSim::DefaultUser() {
  TSimUser U;
  U.Id = "8c8ce076ca27823f";
  U.Name = "Łukasz Żółć";
  U.FirstName = "Łukasz";
  U.LastName = "Żółć";
  U.Email = "lukasz.zolc@outlook.test";
  U.Gender = "male";
  U.BirthYear = 1979;
  U.BirthMonth = 11;
  U.BirthDay = 3;
  return U;
}

}  // namespace zelk::sim
