// The Twitter provider's host settings and its registration: a static registrar, linked whenever
// a handle of the unit is used.
#include "providers/TwitterHosts.h"

#include "core/ProviderRegistry.h"

namespace zelk::IWZelkAuthBase {

namespace {

constexpr TProviderHostSetting kTwitterApi{"twitter.api", "api.twitter.com"};
constexpr TProviderHostSetting kXApi{"x.api", "api.x.com"};

}  // namespace

// The handles are constant-initialised (constinit): nothing runs, so nothing can throw.
// NOLINTBEGIN(cert-err58-cpp)
constinit const TProviderHost phTwitterApi{&kTwitterApi};
constinit const TProviderHost phXApi{&kXApi};
// NOLINTEND(cert-err58-cpp)

namespace {

// Runs once while the program starts; a failure to allocate there ends it, as it must.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool kRegistered = RegisterProvider({.Name = "Twitter",
                                                            .ClassNameParts = {"Twitter"},
                                                            .Hosts = {phTwitterApi, phXApi},
                                                            .StepOfPath = {}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
