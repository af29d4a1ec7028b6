// Windows Live's endpoints in the simulator, on the Windows Live listener (which serves the login
// and REST API hosts alike):
//
//   GET  /oauth20_authorize.srf   authorization request: the consent page (or an error page for
//                                 an unknown client or a missing return address; an unknown
//                                 scope or response type goes back to the return address as
//                                 "error" and "error_description")
//   POST /oauth20_authorize.srf   the consent form: Allow redirects to the return address with a
//                                 one-time "code", Deny with "error=access_denied"
//   POST /oauth20_token.srf       code exchange (form body): checks client id, secret, the code
//                                 and the return address; answers JSON
//   GET  /v5.0/me                 the profile for "access_token": id, name, gender, ...; with
//                                 wl.birthday the birth_day/_month/_year numbers, with wl.emails
//                                 the "emails" object (preferred, account, personal, business)
//
// and the Microsoft identity platform (v2.0) and Microsoft Graph, on the same listener (login
// and Graph hosts alike); <tenant> is "common", "consumers", "organizations", a tenant id or a
// domain:
//
//   GET  /<tenant>/oauth2/v2.0/authorize  the consent page; the return address must have no
//                                 query (and be registered exactly when the client registered
//                                 any), else an AADSTS50011 error page; a PKCE challenge is bound
//                                 to the code; request errors go back to the return address
//   POST /<tenant>/oauth2/v2.0/authorize  the consent form: Allow redirects with "code" and
//                                 "state", Deny with "error=access_denied" and a description
//   POST /<tenant>/oauth2/v2.0/token  code exchange: client, secret, code, return address and
//                                 "code_verifier"; errors as {"error", "error_description"
//                                 ("AADSTS...: ..."), "error_codes", ...}
//   GET  /v1.0/me                 Graph's profile for an Authorization: Bearer token granted
//                                 User.Read: id, displayName, mail, userPrincipalName, ...;
//                                 errors as {"error": {"code", "message", "innerError"}}
//
// Errors come as {"error": "...", "error_description": "..."} from the token endpoint and as
// {"error": {"code": "...", "message": "..."}} from the REST API. Access tokens contain "+", "/"
// and "=" as Live's do, so a client must encode them. The routes keep their state alive on their
// own, so this object may go before the simulator stops.
#pragma once

#include <memory>

#include "sim/OAuth2Grants.h"
#include "sim/Simulator.h"

namespace zelk::sim {

class WindowsLiveSim : public TOAuth2ProviderSim {
 public:
  // Installs the routes on Sim's Windows Live listener, with one registered client
  // ("000000004C0FFEE1" / "live-client-secret") and a default user.
  explicit WindowsLiveSim(Simulator& Sim);

  static TSimApp DefaultApp();
  static TSimUser DefaultUser();
};

}  // namespace zelk::sim
