// The names every part of unit IWZelkAuthBase shares: a flow's outcome, the generation of a
// provider's API a client speaks, and the framework types the clients are handed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/IWApplication.h"

namespace zelk::IWZelkAuthBase {

using rtl::TNotifyEvent;
using web::THttpRequest;
using web::TIWApplication;
using TBytes = std::vector<std::uint8_t>;

class TZIWAuthServerController;
class TZIWCustomCloudClient;
class TOAuth2CodeFlow;

// The outcome of a sign-in or payment. resUnknown: the request may have reached the provider
// but its answer was lost, so a payment may or may not have been taken; it is neither a success
// nor a failure, and the buyer must check before paying again.
enum class TIWResult : std::uint8_t { resNone = 0, resOK = 1, resFailed = 2, resUnknown = 3 };
using enum TIWResult;

// Which generation of a provider's API a client speaks: apClassic, the original endpoints and
// request formats, or apCurrent, the providers' present endpoints (OAuth 2.0: authorization
// code with state and PKCE, JSON token replies, Bearer profile reads; OAuth 1.0a: a fixed
// callback, returns routed by the request token, JSON posts).
enum class TIWApi : std::uint8_t { apClassic = 0, apCurrent = 1 };
using enum TIWApi;

// What one provider return came to for the client it was routed to. The client's return handler
// yields it; the controller counts and traces it, and the server establishes and renews the
// session on success. NotThisFlow: the return reached no outcome for this client (nothing to
// count, the flow stays open).
struct TFlowOutcome {
  enum class TKind : std::uint8_t { NotThisFlow, Succeeded, Failed, Denied, Unknown };
  TKind Kind = TKind::NotThisFlow;
  std::string Reason;  // why it failed, was refused or is unknown; empty on success

  bool Reached() const { return Kind != TKind::NotThisFlow; }
  bool Succeeded() const { return Kind == TKind::Succeeded; }
  // The outcome a client's LoginResult and LoginError stand for; Denied: a failure that is the
  // user's refusal at the provider.
  static TFlowOutcome Of(TIWResult Result, std::string Error, bool Denied) {
    TFlowOutcome O;
    switch (Result) {
      case resOK:
        O.Kind = TKind::Succeeded;
        break;
      case resUnknown:
        O.Kind = TKind::Unknown;
        break;
      case resFailed:
        O.Kind = Denied ? TKind::Denied : TKind::Failed;
        break;
      case resNone:
        O.Kind = TKind::NotThisFlow;
        break;
    }
    if (O.Kind != TKind::Succeeded) O.Reason = std::move(Error);
    return O;
  }
};

}  // namespace zelk::IWZelkAuthBase
