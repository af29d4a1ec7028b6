// The host settings of the Twitter provider and its registration with core (unit
// IWTwitterAuthClient).
//
// Each handle names one setting of the endpoint table (core/Endpoints.h): ProviderHost(handle)
// gives its host now, the key in parentheses sets it in ZELK_PROVIDER_HOSTS or SetProviderHosts.
#pragma once

#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

// Classic mode's API host: the three legs, the profile and posting ("twitter.api", default
// api.twitter.com).
extern const TProviderHost phTwitterApi;
// Current mode's API host ("x.api", default api.x.com).
extern const TProviderHost phXApi;

}  // namespace zelk::IWZelkAuthBase
