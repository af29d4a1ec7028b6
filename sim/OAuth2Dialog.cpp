#include "sim/OAuth2Dialog.h"

#include <algorithm>

#include "sim/ConsentPage.h"
#include "sim/OAuth2Current.h"

namespace zelk::sim {

namespace {

TSimResponse ErrorPage(const std::string& Provider, const TRefusal& Refusal) {
  return TSimResponse::Html(RenderErrorPage(Provider, Refusal.Error, Refusal.Description),
                            Refusal.Status);
}

bool Registered(const TAuthorizeRules& Rules, const TSimApp& App, const std::string& Return) {
  if (Rules.Current) return AcceptableReturnAddress(App, Return);
  return App.RedirectURIs.empty() || std::find(App.RedirectURIs.begin(), App.RedirectURIs.end(),
                                               Return) != App.RedirectURIs.end();
}

// The checks before the return address is trusted; a refusal goes to an error page.
std::optional<TRefusal> CheckClient(TOAuth2Grants& Grants, const TSimRequest& R,
                                    const TAuthorizeRules& Rules) {
  if (Rules.CheckPath)
    if (auto Refused = Rules.CheckPath(R)) return Refused;
  const std::string ClientId = R.Query.Values("client_id");
  const std::string RedirectURI = R.Query.Values("redirect_uri");
  if (Rules.RequireClientId && ClientId.empty())
    return Rules.RefuseClient(TAuthorizeCheck::MissingClient, R);
  const auto App = Grants.FindApp(ClientId);
  if (!App) return Rules.RefuseClient(TAuthorizeCheck::UnknownClient, R);
  if (Rules.RequireReturn && RedirectURI.empty())
    return Rules.RefuseClient(TAuthorizeCheck::MissingReturn, R);
  if (!Registered(Rules, *App, RedirectURI))
    return Rules.RefuseClient(TAuthorizeCheck::UnregisteredReturn, R);
  return std::nullopt;
}

}  // namespace

TSimResponse AuthorizePage(TOAuth2Grants& Grants, const TSimRequest& R,
                           const TAuthorizeRules& Rules) {
  if (auto Refused = CheckClient(Grants, R, Rules)) return ErrorPage(Rules.Provider, *Refused);
  TAuthorizationRequest Request;
  Request.ClientId = R.Query.Values("client_id");
  Request.RedirectURI = R.Query.Values("redirect_uri");
  Request.HasState = R.Query.IndexOfName("state") >= 0;
  Request.State = R.Query.Values("state");
  Request.Scopes = SplitScopeList(R.Query.Values("scope"), Rules.ScopeSeparators);

  auto Refuse = [&](const TRefusal& Refusal) {
    if (!Rules.RefuseToApplication) return ErrorPage(Rules.Provider, Refusal);
    TQueryPairs Params = {{"error", Refusal.Error}, {"error_description", Refusal.Description}};
    if (Request.HasState) Params.emplace_back("state", Request.State);
    return TSimResponse::Redirect(AppendQuery(Request.RedirectURI, Params));
  };
  if (Rules.CheckRequest)
    if (const auto Refused = Rules.CheckRequest(R, Request)) return Refuse(*Refused);

  TConsentPage Page;
  Page.Provider = Rules.Provider;
  Page.UserName = Grants.User().Name;
  Page.Accounts = Grants.Accounts();
  Page.ClientId = Request.ClientId;
  for (const auto& S : Request.Scopes) {
    const std::string Description = Rules.DescribeScope(S);
    if (Description.empty()) return Refuse(Rules.UnknownScope(S));
    Page.Scopes.emplace_back(S, Description);
  }
  Page.Action = Rules.Action.empty() ? R.Path : Rules.Action;
  Page.Ticket = Grants.OpenConsent(std::move(Request));
  return TSimResponse::Html(RenderConsentPage(Page));
}

TSimResponse AnswerConsent(TOAuth2Grants& Grants, const TSimRequest& R,
                           const TConsentRules& Rules) {
  const rtl::TStringList Form = R.Form();
  const auto Request = Grants.TakeConsent(Form.Values("consent"));
  if (!Request) return ErrorPage(Rules.Provider, Rules.UnknownTicket);
  const auto User = Grants.ConsentUser(Form.Values("user_id"));
  if (!User) return ErrorPage(Rules.Provider, Rules.UnknownAccount);
  TQueryPairs Params;
  const bool Allowed = Form.Values("decision") == "allow";
  if (Allowed && Rules.StateFirst && Request->HasState)
    Params.emplace_back("state", Request->State);
  if (Allowed)
    Params.emplace_back("code", Grants.IssueCode(*Request, Rules.NewCode(), *User));
  else
    Params = Rules.Denied;
  if (!(Allowed && Rules.StateFirst) && Request->HasState)
    Params.emplace_back("state", Request->State);
  return TSimResponse::Redirect(AppendQuery(Request->RedirectURI + Rules.ReturnSuffix, Params));
}

}  // namespace zelk::sim
