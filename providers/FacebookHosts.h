// The host settings of the Facebook provider and its registration with core (unit
// IWFacebookAuthClient).
//
// Each handle names one setting of the endpoint table (core/Endpoints.h): ProviderHost(handle)
// gives its host now, the key in parentheses sets it in ZELK_PROVIDER_HOSTS or SetProviderHosts.
#pragma once

#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

// The web host: the login dialog ("facebook.web", default www.facebook.com).
extern const TProviderHost phFacebookWeb;
// The Graph host: token exchange and profile ("facebook.graph", default graph.facebook.com).
extern const TProviderHost phFacebookGraph;
// The REST host: classic mode's posting ("facebook.rest", default api.facebook.com).
extern const TProviderHost phFacebookRest;

}  // namespace zelk::IWZelkAuthBase
