// The Twitter provider's host settings and its registration: a static registrar, linked whenever
// a handle of the unit is used.
#include "providers/TwitterHosts.h"

#include "core/ProviderRegistry.h"

namespace zelk::IWZelkAuthBase {

namespace {

constexpr TProviderHostSetting kTwitterApi{"twitter.api", "api.twitter.com"};
constexpr TProviderHostSetting kXApi{"x.api", "api.x.com"};

}  // namespace

constinit const TProviderHost phTwitterApi{&kTwitterApi};
constinit const TProviderHost phXApi{&kXApi};

namespace {

[[maybe_unused]] const bool kRegistered = RegisterProvider({.Name = "Twitter",
                                                            .ClassNameParts = {"Twitter"},
                                                            .Hosts = {phTwitterApi, phXApi},
                                                            .StepOfPath = {}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
