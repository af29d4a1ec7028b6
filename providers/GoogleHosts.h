// The host settings of the Google provider and its registration with core (unit IWGAuthClient).
//
// Each handle names one setting of the endpoint table (core/Endpoints.h): ProviderHost(handle)
// gives its host now, the key in parentheses sets it in ZELK_PROVIDER_HOSTS or SetProviderHosts.
#pragma once

#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

// The accounts host: the consent page; classic mode's token endpoint ("google.accounts", default
// accounts.google.com).
extern const TProviderHost phGoogleAccounts;
// Classic mode's profile host ("google.apis", default www.googleapis.com).
extern const TProviderHost phGoogleApis;
// Current mode's token host ("google.oauth2", default oauth2.googleapis.com).
extern const TProviderHost phGoogleOAuth2;
// Current mode's profile host ("google.openid", default openidconnect.googleapis.com).
extern const TProviderHost phGoogleOpenId;

}  // namespace zelk::IWZelkAuthBase
