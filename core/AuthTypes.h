// The names every part of unit IWZelkAuthBase shares: a flow's outcome, the generation of a
// provider's API a client speaks, and the framework types the clients are handed.
#pragma once

#include <cstdint>
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
class TOAuth2Provider;

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

}  // namespace zelk::IWZelkAuthBase
