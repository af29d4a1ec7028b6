// Facebook's endpoints in the simulator, on the Facebook listener (which serves the web, Graph
// and REST hosts alike):
//
//   GET  /dialog/oauth            the OAuth dialog: the consent page (or an error page for an
//                                 unknown app, a missing return address or an unknown
//                                 permission)
//   POST /dialog/oauth/confirm    the consent form: Allow redirects to the return address with a
//                                 one-time "code", Deny with "error=access_denied",
//                                 "error_reason=user_denied" and the rest; both end in "#_=_"
//   GET  /oauth/access_token      code exchange: checks client id, secret, the code and that the
//                                 return address equals the dialog's; answers JSON as the Graph
//                                 API does today, or "access_token=...&expires=..." when the
//                                 legacy form reply is switched on
//   GET  /me                      the profile for "access_token" with the "fields" asked for;
//                                 email and birthday only when those permissions were granted
//   GET  /method/stream.publish   the legacy status publishing: answers the JSON string
//                                 "<user id>_<post id>", or {"error_code", "error_msg", ...}
//
// and the versioned endpoints of today (<version> as "v25.0"):
//
//   GET  /<version>/dialog/oauth  as /dialog/oauth, and the return address must have no query
//                                 (and be registered exactly when the app registered any: strict
//                                 mode), else the "URL Blocked" page; publishing permissions are
//                                 "Invalid Scopes"; a PKCE "code_challenge" (S256 or plain) is
//                                 bound to the code, a malformed one refused with an error page
//   GET  /<version>/oauth/access_token  as /oauth/access_token, always JSON; a code issued with
//                                 a challenge needs the "code_verifier" that answers it (at
//                                 /oauth/access_token too, which takes none), a missing or
//                                 wrong one is refused with a Graph error (code 100) and leaves
//                                 the code unused
//   GET  /<version>/me            as /me, and "appsecret_proof" (hex HMAC-SHA256 of the token
//                                 keyed with the app secret) is checked when sent and required
//                                 while the app requires it (the default)
//
// Graph errors come as {"error": {"message", "type": "OAuthException", "code", "fbtrace_id"}}.
// JSON is written with non-ASCII characters as \u escapes, as Facebook writes it. The routes
// keep their state alive on their own, so this object may go before the simulator stops.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/OAuth2Grants.h"
#include "sim/Simulator.h"

namespace zelk::sim {

class FacebookSim {
 public:
  struct TPost {
    std::string UserId;
    std::string PostId;
    std::string Message;
  };

  // Installs the routes on Sim's Facebook listener, with one registered app ("1234567890123" /
  // "facebook-app-secret") and a default user.
  explicit FacebookSim(Simulator& Sim);

  void AddApp(TSimApp App);
  void SetUser(TSimUser User);
  TSimUser User() const;
  // Another account the consent page offers besides the signed-in user ("user_id").
  void AddUser(TSimUser User);
  // Whether the versioned profile call must carry appsecret_proof ("Require App Secret" in the
  // app's settings). On by default.
  void SetRequireAppSecretProof(bool Value);
  // Answer the unversioned token exchange in the older form-encoded format instead of JSON.
  void SetLegacyTokenReply(bool Value);
  void RevokeTokens();
  std::size_t OutstandingCodes() const;
  // Every status published so far, in order.
  std::vector<TPost> Posts() const;

  static TSimApp DefaultApp();
  static TSimUser DefaultUser();

  // What the routes share with this object; defined where the routes are.
  struct TState;

 private:
  std::shared_ptr<TState> FState;
};

}  // namespace zelk::sim
