// The Google provider's host settings and its registration: a static registrar, linked whenever
// a handle of the unit is used.
#include "providers/GoogleHosts.h"

#include "core/ProviderRegistry.h"

namespace zelk::IWZelkAuthBase {

namespace {

constexpr TProviderHostSetting kGoogleAccounts{"google.accounts", "accounts.google.com"};
constexpr TProviderHostSetting kGoogleApis{"google.apis", "www.googleapis.com"};
constexpr TProviderHostSetting kGoogleOAuth2{"google.oauth2", "oauth2.googleapis.com"};
constexpr TProviderHostSetting kGoogleOpenId{"google.openid", "openidconnect.googleapis.com"};

}  // namespace

// The handles are constant-initialised (constinit): nothing runs, so nothing can throw.
// NOLINTBEGIN(cert-err58-cpp)
constinit const TProviderHost phGoogleAccounts{&kGoogleAccounts};
constinit const TProviderHost phGoogleApis{&kGoogleApis};
constinit const TProviderHost phGoogleOAuth2{&kGoogleOAuth2};
constinit const TProviderHost phGoogleOpenId{&kGoogleOpenId};
// NOLINTEND(cert-err58-cpp)

namespace {

// Runs once while the program starts; a failure to allocate there ends it, as it must.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool kRegistered =
    RegisterProvider({.Name = "Google",
                      .ClassNameParts = {"GAuth", "Google"},
                      .Hosts = {phGoogleAccounts, phGoogleApis, phGoogleOAuth2, phGoogleOpenId},
                      .StepOfPath = {}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
