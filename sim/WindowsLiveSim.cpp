#include "sim/WindowsLiveSim.h"

#include <algorithm>
#include <cctype>

#include "platform/rtl/SysUtils.h"
#include "sim/JsonReply.h"
#include "sim/OAuth2Current.h"
#include "sim/OAuth2Dialog.h"

namespace zelk::sim {

namespace {

using nlohmann::json;
using TGrantsPtr = std::shared_ptr<TOAuth2Grants>;
constexpr TProviderId kLive = TProviderId::WindowsLive;

TSimResponse Json(int Status, const json& Body) {
  return JsonReply(Status, Body, "application/json; charset=UTF-8");
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

bool Granted(const TGrant& G, const std::string& Scope) {
  return std::find(G.Request.Scopes.begin(), G.Request.Scopes.end(), Scope) !=
         G.Request.Scopes.end();
}

json OrNull(const std::string& S) {
  return S.empty() ? json(nullptr) : json(S);
}

// "8c8ce076-..." style: 32 hex digits in groups of 8-4-4-4-12.
std::string RandomGuid() {
  const std::string H = RandomText(32, "0123456789abcdef");
  return H.substr(0, 8) + "-" + H.substr(8, 4) + "-" + H.substr(12, 4) + "-" + H.substr(16, 4) +
         "-" + H.substr(20, 12);
}

TRefusal RefuseClient(TAuthorizeCheck Check, const TSimRequest&) {
  if (Check == TAuthorizeCheck::MissingClient || Check == TAuthorizeCheck::UnknownClient)
    return {"invalid_client",
            "The client does not exist. If you are the application developer, configure a new "
            "application through the application management site."};
  return {"invalid_request",
          "The provided value for the input parameter 'redirect_uri' is not valid."};
}

// With a trusted return address, request errors go back to the application.
TAuthorizeRules AuthorizeRules() {
  TAuthorizeRules Rules;
  Rules.Provider = "Microsoft account";
  Rules.RequireReturn = true;
  Rules.RefuseToApplication = true;
  Rules.RefuseClient = RefuseClient;
  Rules.CheckRequest = [](const TSimRequest& R,
                          TAuthorizationRequest& Request) -> std::optional<TRefusal> {
    if (R.Query.Values("response_type") != "code")
      return TRefusal{"unsupported_response_type",
                      "The provided value for the input parameter 'response_type' is not valid."};
    if (Request.Scopes.empty())
      return TRefusal{"invalid_request", "The request is missing required parameter 'scope'."};
    return std::nullopt;
  };
  Rules.DescribeScope = DescribeScope;
  Rules.UnknownScope = [](const std::string&) {
    return TRefusal{"invalid_scope",
                    "The provided value for the input parameter 'scope' is not valid."};
  };
  return Rules;
}

TConsentRules ConsentRules(std::string Provider) {
  TConsentRules Rules;
  Rules.Provider = std::move(Provider);
  Rules.UnknownTicket = {"invalid_request",
                         "This consent request is unknown or was already answered."};
  Rules.UnknownAccount = {"invalid_request", "No such account is signed in."};
  // Live's codes look like "M" and a GUID.
  Rules.NewCode = [] { return "M" + RandomGuid(); };
  Rules.Denied = {{"error", "access_denied"},
                  {"error_description",
                   "The user has denied access to the scope requested by the client application."}};
  return Rules;
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
    case TCodeRefusal::MissingVerifier:
    case TCodeRefusal::WrongVerifier:
    case TCodeRefusal::UnexpectedVerifier:
      return TokenError("invalid_grant",
                        "The provided value for the 'code' parameter is not valid.");
    case TCodeRefusal::OtherRedirect:
      return TokenError("invalid_grant",
                        "The provided value for the 'redirect_uri' is not valid. The value must "
                        "exactly match the redirect URI used to obtain the authorization code.");
  }
  // Live's tokens are Base64 text: "+", "/" and "=" included.
  const std::string Token = Grants->IssueToken(Grant, "EwB" + RandomText(120, kBase64) + "=");
  return Json(200, {{"token_type", "bearer"},
                    {"expires_in", 3600},
                    {"scope", JoinScopes(Grant.Request)},
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

// ---------------------------------------------------------------------------------------------
// The Microsoft identity platform (v2.0) and Microsoft Graph.

bool IsGuid(const std::string& S) {
  if (S.size() != 36) return false;
  for (std::size_t I = 0; I < S.size(); ++I) {
    const char C = S[I];
    const bool Dash = I == 8 || I == 13 || I == 18 || I == 23;
    if (Dash ? C != '-' : !std::isxdigit(static_cast<unsigned char>(C))) return false;
  }
  return true;
}

// The first path segment: the tenant ("common", "consumers", "organizations", a tenant id or a
// verified domain).
std::string TenantOf(const TSimRequest& R) {
  const std::size_t End = R.Path.find('/', 1);
  return R.Path.substr(1, End == std::string::npos ? std::string::npos : End - 1);
}

bool KnownTenant(const std::string& T) {
  return T == "common" || T == "consumers" || T == "organizations" || IsGuid(T) ||
         (T.find('.') != std::string::npos && T.find_first_of("/?#") == std::string::npos);
}

// The identity platform's error description: "AADSTS<code>: <text>" followed by its trace
// lines.
std::string AadText(int Code, const std::string& Text) {
  return "AADSTS" + std::to_string(Code) + ": " + Text + "\r\nTrace ID: " + RandomGuid() +
         "\r\nCorrelation ID: " + RandomGuid() + "\r\nTimestamp: 2026-01-01 00:00:00Z";
}

TSimResponse AadError(int Status, const std::string& Error, int Code, const std::string& Text) {
  return Json(Status, {{"error", Error},
                       {"error_description", AadText(Code, Text)},
                       {"error_codes", json::array({Code})},
                       {"timestamp", "2026-01-01 00:00:00Z"},
                       {"trace_id", RandomGuid()},
                       {"correlation_id", RandomGuid()}});
}

TSimResponse GraphError(int Status, const std::string& Code, const std::string& Message) {
  return Json(Status, {{"error",
                        {{"code", Code},
                         {"message", Message},
                         {"innerError",
                          {{"date", "2026-01-01T00:00:00"},
                           {"request-id", RandomGuid()},
                           {"client-request-id", RandomGuid()}}}}}});
}

// Scopes of the identity platform and Graph; Graph's may carry the resource address, and letter
// case does not matter. Returns the description the consent page shows, empty when unknown.
std::string DescribeCurrentScope(const std::string& Scope) {
  std::string S = Scope;
  for (const char* Resource : {"https://graph.microsoft.com/", "https://graph.microsoft.com"})
    if (rtl::SameText(S.substr(0, std::string_view(Resource).size()), Resource)) {
      S = S.substr(std::string_view(Resource).size());
      break;
    }
  if (rtl::SameText(S, "openid")) return "Sign you in";
  if (rtl::SameText(S, "profile")) return "View your basic profile";
  if (rtl::SameText(S, "email")) return "View your email address";
  if (rtl::SameText(S, "offline_access"))
    return "Maintain access to data you have given it access to";
  if (rtl::SameText(S, "User.Read")) return "Sign you in and read your profile";
  return {};
}

bool GrantedUserRead(const TGrant& G) {
  for (const auto& S : G.Request.Scopes)
    if (rtl::SameText(S, "User.Read") || rtl::SameText(S, "https://graph.microsoft.com/User.Read"))
      return true;
  return false;
}

TRefusal RefuseClientV2(TAuthorizeCheck Check, const TSimRequest& R) {
  const std::string ClientId = R.Query.Values("client_id");
  switch (Check) {
    case TAuthorizeCheck::MissingClient:
      return {"invalid_request", AadText(900144,
                                         "The request body must contain the following parameter: "
                                         "'client_id'.")};
    case TAuthorizeCheck::UnknownClient:
      return {"unauthorized_client",
              AadText(700016, "Application with identifier '" + ClientId +
                                  "' was not found in the directory '" + TenantOf(R) + "'.")};
    case TAuthorizeCheck::MissingReturn:
    case TAuthorizeCheck::UnregisteredReturn:
      break;
  }
  // An address that is not registered is never redirected to.
  return {"invalid_request",
          AadText(50011, "The redirect URI '" + R.Query.Values("redirect_uri") +
                             "' specified in the request does not match the redirect URIs "
                             "configured for the application '" +
                             ClientId + "'.")};
}

std::optional<TRefusal> CheckTenant(const TSimRequest& R) {
  const std::string Tenant = TenantOf(R);
  if (KnownTenant(Tenant)) return std::nullopt;
  return TRefusal{"invalid_request",
                  AadText(90002, "Tenant '" + Tenant +
                                     "' not found. Check to make sure you have the correct "
                                     "tenant ID and are signing into the correct cloud.")};
}

std::optional<TRefusal> CheckRequestV2(const TSimRequest& R, TAuthorizationRequest& Request) {
  if (R.Query.Values("response_type") != "code")
    return TRefusal{"unsupported_response_type",
                    AadText(700054, "response_type '" + R.Query.Values("response_type") +
                                        "' is not enabled for the application.")};
  if (R.Query.IndexOfName("response_mode") >= 0 && R.Query.Values("response_mode") != "query")
    return TRefusal{"invalid_request",
                    AadText(900144, "This simulator answers with response_mode=query only.")};
  if (const std::string Problem = ReadPkceChallenge(R, Request); !Problem.empty())
    return TRefusal{"invalid_request", AadText(501491, Problem)};
  if (Request.Scopes.empty())
    return TRefusal{"invalid_request", AadText(90014, "The required field 'scope' is missing.")};
  return std::nullopt;
}

// The identity platform's authorize page: the consent form posts back to it.
TAuthorizeRules AuthorizeRulesV2() {
  TAuthorizeRules Rules;
  Rules.Provider = "Microsoft";
  Rules.Current = true;
  Rules.RequireClientId = true;
  Rules.RefuseToApplication = true;
  Rules.CheckPath = CheckTenant;
  Rules.RefuseClient = RefuseClientV2;
  Rules.CheckRequest = CheckRequestV2;
  Rules.DescribeScope = DescribeCurrentScope;
  Rules.UnknownScope = [](const std::string& S) {
    return TRefusal{"invalid_scope",
                    AadText(70011,
                            "The provided value for the input parameter 'scope' is not valid. "
                            "The scope '" +
                                S + "' does not exist.")};
  };
  return Rules;
}

TConsentRules ConsentRulesV2() {
  TConsentRules Rules = ConsentRules("Microsoft");
  // Codes of personal accounts: "M.C" and a serial, with "_", "." and "-" in them.
  Rules.NewCode = [] { return "M.C5" + RandomText(3, "0123456789") + "_BAY.2.U." + RandomGuid(); };
  Rules.Denied = {
      {"error", "access_denied"},
      {"error_description", "AADSTS65004: User declined to consent to access the app."}};
  return Rules;
}

TSimResponse TokenV2(const TGrantsPtr& Grants, const TSimRequest& R) {
  if (!KnownTenant(TenantOf(R)))
    return AadError(400, "invalid_request", 90002, "Tenant '" + TenantOf(R) + "' not found.");
  if (!rtl::SameText(R.Header("Content-Type").substr(0, 33), "application/x-www-form-urlencoded"))
    return AadError(400, "invalid_request", 900144,
                    "The request body must contain the following parameter: 'grant_type'.");
  const rtl::TStringList Form = R.Form();
  if (const auto Dup = DuplicateNames(Form.Items()); !Dup.empty())
    return AadError(400, "invalid_request", 90015,
                    "Requested query string is too long or has the parameter '" + Dup.front() +
                        "' more than once.");
  if (Form.Values("grant_type") != "authorization_code")
    return AadError(
        400, "unsupported_grant_type", 70003,
        "The app requested an unsupported grant type '" + Form.Values("grant_type") + "'.");
  const auto App = Grants->FindApp(Form.Values("client_id"));
  if (!App)
    return AadError(400, "unauthorized_client", 700016,
                    "Application with identifier '" + Form.Values("client_id") +
                        "' was not found in the directory.");
  if (App->Secret != Form.Values("client_secret"))
    return AadError(401, "invalid_client", 7000215,
                    "Invalid client secret provided. Ensure the secret being sent in the request "
                    "is the client secret value, not the client secret ID, for a secret added to "
                    "app '" +
                        App->ClientId + "'.");
  if (Form.Values("code").empty())
    return AadError(400, "invalid_request", 900144,
                    "The request body must contain the following parameter: 'code'.");
  std::optional<std::string> Verifier;
  if (Form.IndexOfName("code_verifier") >= 0) Verifier = Form.Values("code_verifier");
  TGrant Grant;
  switch (Grants->RedeemCode(Form.Values("code"), App->ClientId, Form.Values("redirect_uri"),
                             Verifier, Grant)) {
    case TCodeRefusal::None:
      break;
    case TCodeRefusal::Unknown:
    case TCodeRefusal::OtherClient:
      return AadError(400, "invalid_grant", 70000,
                      "The provided value for the 'code' parameter is not valid.");
    case TCodeRefusal::Used:
      return AadError(400, "invalid_grant", 54005,
                      "OAuth2 Authorization code was already redeemed, please retry with a new "
                      "valid code or use an existing refresh token.");
    case TCodeRefusal::OtherRedirect:
      return AadError(400, "invalid_grant", 70000,
                      "The provided value for the input parameter 'redirect_uri' is not valid. "
                      "The value must exactly match the redirect URI used to obtain the "
                      "authorization code.");
    case TCodeRefusal::MissingVerifier:
      return AadError(400, "invalid_grant", 50148,
                      "The code_verifier is missing: the authorization request carried a "
                      "code_challenge.");
    case TCodeRefusal::WrongVerifier:
      return AadError(400, "invalid_grant", 501481,
                      "The Code_Verifier does not match the code_challenge supplied in the "
                      "authorization request.");
    case TCodeRefusal::UnexpectedVerifier:
      return AadError(400, "invalid_grant", 50148,
                      "The code_verifier was given but the authorization request carried no "
                      "code_challenge.");
  }
  // Tokens for personal accounts are opaque Base64 text.
  const std::string Token = Grants->IssueToken(Grant, "EwA" + RandomText(160, kBase64) + "=");
  return Json(200, {{"token_type", "Bearer"},
                    {"scope", JoinScopes(Grant.Request)},
                    {"expires_in", 3599},
                    {"ext_expires_in", 3599},
                    {"access_token", Token}});
}

TSimResponse GraphMe(const TGrantsPtr& Grants, const TSimRequest& R) {
  const std::string Token = BearerToken(R);
  if (Token.empty()) return GraphError(401, "InvalidAuthenticationToken", "Access token is empty.");
  const auto Grant = Grants->FindToken(Token);
  if (!Grant)
    return GraphError(401, "InvalidAuthenticationToken",
                      "CompactToken parsing failed with error code: 80049217");
  if (!GrantedUserRead(*Grant))
    return GraphError(403, "Authorization_RequestDenied",
                      "Insufficient privileges to complete the operation.");
  const TSimUser& U = Grant->User;
  return Json(200, {{"@odata.context", "https://graph.microsoft.com/v1.0/$metadata#users/$entity"},
                    {"businessPhones", json::array()},
                    {"displayName", U.Name},
                    {"givenName", OrNull(U.FirstName)},
                    {"jobTitle", nullptr},
                    {"mail", OrNull(U.Email)},
                    {"mobilePhone", nullptr},
                    {"officeLocation", nullptr},
                    {"preferredLanguage", nullptr},
                    {"surname", OrNull(U.LastName)},
                    {"userPrincipalName", U.Email.empty() ? U.Id + "@live.test" : U.Email},
                    {"id", U.Id}});
}

}  // namespace

WindowsLiveSim::WindowsLiveSim(Simulator& Sim) {
  FGrants->AddApp(DefaultApp());
  FGrants->SetUser(DefaultUser());
  const TGrantsPtr G = FGrants;
  Sim.Route(
      kLive, "GET", "/oauth20_authorize.srf",
      [G, Rules = AuthorizeRules()](const TSimRequest& R) { return AuthorizePage(*G, R, Rules); });
  Sim.Route(kLive, "POST", "/oauth20_authorize.srf",
            [G, Rules = ConsentRules("Microsoft account")](const TSimRequest& R) {
              return AnswerConsent(*G, R, Rules);
            });
  Sim.Route(kLive, "POST", "/oauth20_token.srf", [G](const TSimRequest& R) { return Token(G, R); });
  Sim.Route(kLive, "GET", "/v5.0/me", [G](const TSimRequest& R) { return Me(G, R); });
  Sim.Route(kLive, "GET", "/*/oauth2/v2.0/authorize",
            [G, Rules = AuthorizeRulesV2()](const TSimRequest& R) {
              return AuthorizePage(*G, R, Rules);
            });
  Sim.Route(
      kLive, "POST", "/*/oauth2/v2.0/authorize",
      [G, Rules = ConsentRulesV2()](const TSimRequest& R) { return AnswerConsent(*G, R, Rules); });
  Sim.Route(kLive, "POST", "/*/oauth2/v2.0/token",
            [G](const TSimRequest& R) { return TokenV2(G, R); });
  Sim.Route(kLive, "GET", "/v1.0/me", [G](const TSimRequest& R) { return GraphMe(G, R); });
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
