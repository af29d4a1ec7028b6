// The WindowsLive provider's host settings and its registration: a static registrar, linked
// whenever a handle of the unit is used.
#include "providers/WindowsLiveHosts.h"

#include "core/ProviderRegistry.h"

namespace zelk::IWZelkAuthBase {

namespace {

constexpr TProviderHostSetting kWindowsLiveLogin{"live.login", "login.live.com"};
constexpr TProviderHostSetting kWindowsLiveApis{"live.apis", "apis.live.net"};
constexpr TProviderHostSetting kMicrosoftLogin{"microsoft.login", "login.microsoftonline.com"};
constexpr TProviderHostSetting kMicrosoftGraph{"microsoft.graph", "graph.microsoft.com"};

}  // namespace

// The handles are constant-initialised (constinit): nothing runs, so nothing can throw.
// NOLINTBEGIN(cert-err58-cpp)
constinit const TProviderHost phWindowsLiveLogin{&kWindowsLiveLogin};
constinit const TProviderHost phWindowsLiveApis{&kWindowsLiveApis};
constinit const TProviderHost phMicrosoftLogin{&kMicrosoftLogin};
constinit const TProviderHost phMicrosoftGraph{&kMicrosoftGraph};
// NOLINTEND(cert-err58-cpp)

namespace {

// Runs once while the program starts; a failure to allocate there ends it, as it must.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool kRegistered = RegisterProvider(
    {.Name = "WindowsLive",
     .ClassNameParts = {"WindowsLive"},
     .Hosts = {phWindowsLiveLogin, phWindowsLiveApis, phMicrosoftLogin, phMicrosoftGraph},
     .StepOfPath = {},
     // Classic sign-in's verification code.
     .SecretNames = {"wrap_verification_code"}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
