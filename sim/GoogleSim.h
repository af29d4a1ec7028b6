// Google's OAuth 2.0 endpoints in the simulator, on the Google listener:
//
//   GET  /o/oauth2/auth          authorization request: the consent page (or an error page for
//                                an unknown client or a missing or unregistered return address)
//   POST /o/oauth2/approval      the consent form: Allow redirects to the return address with
//                                "state" and a one-time "code" ("4/..."), Deny with
//                                "error=access_denied" and "state"
//   POST /o/oauth2/token         code exchange (form body): checks client id, secret, the code
//                                and the return address; answers JSON. For load tests it can
//                                also take codes nobody fetched from the consent page (see
//                                SetPreApprovedCodePrefix)
//   GET  /oauth2/v1/userinfo     the profile for "access_token" (or an Authorization: Bearer
//                                header): id, name, ... for the profile scope, email and
//                                verified_email for the e-mail scope
//
// and the current endpoints (the accounts, oauth2 and openidconnect hosts alike):
//
//   GET  /o/oauth2/v2/auth       as /o/oauth2/auth, and the return address must have no query
//                                (and be registered exactly when the client registered any);
//                                "code_challenge" (S256 or plain) is bound to the code
//   POST /token                  as /o/oauth2/token, and "code_verifier" must answer the
//                                challenge ("invalid_grant" otherwise)
//   GET  /v1/userinfo            OpenID Connect userinfo, the token in an Authorization: Bearer
//                                header only (401 otherwise): sub, name, picture, ... for the
//                                profile scope, email and email_verified for the e-mail scope
//
// Errors come in Google's format: {"error": "...", "error_description": "..."} from the token
// endpoint, {"error": {"errors": [...], "code": 401, "message": "Invalid Credentials"}} from the
// API. The routes share this object's state, and keep it alive on their own, so the object may
// go before the simulator stops.
#pragma once

#include <memory>

#include "sim/OAuth2Grants.h"
#include "sim/Simulator.h"

namespace zelk::sim {

class GoogleSim : public TOAuth2ProviderSim {
 public:
  // Installs the routes on Sim's Google listener, with one registered application
  // ("google-client-id.apps.googleusercontent.test" / "google-secret") and a default user.
  explicit GoogleSim(Simulator& Sim);

  // Load tests: the token endpoint takes any code that is Prefix and at least one more
  // character, once, as if the signed-in user had approved the profile and e-mail scopes for
  // the client and return address the token request names. The client's id, secret and
  // registered return addresses are checked as for an issued code. Empty (the default): off.
  void SetPreApprovedCodePrefix(std::string Prefix);

  static TSimApp DefaultApp();
  static TSimUser DefaultUser();
};

}  // namespace zelk::sim
