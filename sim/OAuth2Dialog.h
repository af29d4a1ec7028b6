// The authorization dialog of the simulator's OAuth 2.0 providers (Google, Facebook, Microsoft,
// each in both generations): the authorize page, which checks the request and shows the consent
// page, and the consent form's answer, which sends the browser back with a code or an error.
// The steps are the same at every provider; a provider's rules say what differs: its checks,
// their texts, its scopes, its codes and how it writes the return address.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/OAuth2Grants.h"
#include "sim/Simulator.h"

namespace zelk::sim {

using TQueryPairs = std::vector<std::pair<std::string, std::string>>;

// Why a request is refused: the error (an error page's heading, or the "error" parameter sent
// back to the application), its description, and an error page's status.
struct TRefusal {
  std::string Error;
  std::string Description;
  int Status = 400;
};

// The checks of the authorize page before the return address is trusted, in the order they run.
enum class TAuthorizeCheck { MissingClient, UnknownClient, MissingReturn, UnregisteredReturn };

struct TAuthorizeRules {
  std::string Provider;  // the pages' title
  // The path the consent form posts to; empty: the authorize page's own path.
  std::string Action;
  // The return-address rule of the current generation (AcceptableReturnAddress) rather than the
  // older one (any address when the application registered none, else one of them).
  bool Current = false;
  // Whether an empty "client_id" and an empty "redirect_uri" are refused as such (else the
  // unknown client and the unregistered address refuse them).
  bool RequireClientId = false;
  bool RequireReturn = false;
  // The characters between the scopes of the "scope" parameter.
  std::string ScopeSeparators = ", ";
  // With a trusted return address, refusals go back to the application ("error",
  // "error_description", "state") instead of to an error page.
  bool RefuseToApplication = false;
  // A check of the request before any other (a path's version or tenant); none: passed.
  std::function<std::optional<TRefusal>(const TSimRequest&)> CheckPath;
  // The text of each refusal before the return address is trusted.
  std::function<TRefusal(TAuthorizeCheck, const TSimRequest&)> RefuseClient;
  // The provider's checks of the request read so far, in its own order (response type, PKCE,
  // scopes, ...); they may amend it (a scope always granted). None: passed.
  std::function<std::optional<TRefusal>(const TSimRequest&, TAuthorizationRequest&)> CheckRequest;
  // The text the consent page shows for a scope; empty for a scope the provider does not know,
  // which UnknownScope refuses.
  std::function<std::string(const std::string& Scope)> DescribeScope;
  std::function<TRefusal(const std::string& Scope)> UnknownScope;
};

// The authorize page: the provider's checks, then the consent page for the signed-in user.
TSimResponse AuthorizePage(TOAuth2Grants& Grants, const TSimRequest& R,
                           const TAuthorizeRules& Rules);

struct TConsentRules {
  std::string Provider;  // the error pages' title
  TRefusal UnknownTicket;
  TRefusal UnknownAccount;
  // A new code in the provider's form.
  std::function<std::string()> NewCode;
  // What a denial sends back before "state".
  TQueryPairs Denied;
  // "state" before "code" when allowed (else after it).
  bool StateFirst = false;
  // Appended to the return address before the query is added (Facebook's "#_=_").
  std::string ReturnSuffix;
};

// The consent form's answer: a one-time code for the chosen account, or the denial.
TSimResponse AnswerConsent(TOAuth2Grants& Grants, const TSimRequest& R, const TConsentRules& Rules);

}  // namespace zelk::sim
