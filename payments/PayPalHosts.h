// The host settings of the PayPal provider and its registration with core (unit IWPayPalClient).
//
// Each handle names one setting of the endpoint table (core/Endpoints.h): ProviderHost(handle)
// gives its host now, the key in parentheses sets it in ZELK_PROVIDER_HOSTS or SetProviderHosts.
#pragma once

#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

// The live NVP API ("paypal.live.nvp", default api-3t.paypal.com).
extern const TProviderHost phPayPalLiveNvp;
// The sandbox NVP API ("paypal.sandbox.nvp", default api-3t.sandbox.paypal.com).
extern const TProviderHost phPayPalSandboxNvp;
// The live checkout pages ("paypal.live.web", default www.paypal.com).
extern const TProviderHost phPayPalLiveWeb;
// The sandbox checkout pages ("paypal.sandbox.web", default www.sandbox.paypal.com).
extern const TProviderHost phPayPalSandboxWeb;
// The live REST API ("paypal.live.rest", default api-m.paypal.com).
extern const TProviderHost phPayPalLiveRest;
// The sandbox REST API ("paypal.sandbox.rest", default api-m.sandbox.paypal.com).
extern const TProviderHost phPayPalSandboxRest;

}  // namespace zelk::IWZelkAuthBase
