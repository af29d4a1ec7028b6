// The host settings of the WindowsLive provider and its registration with core (unit
// IWWindowsLiveAuthClient).
//
// Each handle names one setting of the endpoint table (core/Endpoints.h): ProviderHost(handle)
// gives its host now, the key in parentheses sets it in ZELK_PROVIDER_HOSTS or SetProviderHosts.
#pragma once

#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

// Classic mode's login host: consent and token ("live.login", default login.live.com).
extern const TProviderHost phWindowsLiveLogin;
// Classic mode's REST API host: the profile ("live.apis", default apis.live.net).
extern const TProviderHost phWindowsLiveApis;
// Current mode's identity platform host: consent and token ("microsoft.login", default
// login.microsoftonline.com).
extern const TProviderHost phMicrosoftLogin;
// Current mode's profile host ("microsoft.graph", default graph.microsoft.com).
extern const TProviderHost phMicrosoftGraph;

}  // namespace zelk::IWZelkAuthBase
