// The Facebook provider's host settings and its registration: a static registrar, linked whenever
// a handle of the unit is used.
#include "providers/FacebookHosts.h"

#include "core/ProviderRegistry.h"

namespace zelk::IWZelkAuthBase {

namespace {

constexpr TProviderHostSetting kFacebookWeb{"facebook.web", "www.facebook.com"};
constexpr TProviderHostSetting kFacebookGraph{"facebook.graph", "graph.facebook.com"};
constexpr TProviderHostSetting kFacebookRest{"facebook.rest", "api.facebook.com"};

}  // namespace

// The handles are constant-initialised (constinit): nothing runs, so nothing can throw.
// NOLINTBEGIN(cert-err58-cpp)
constinit const TProviderHost phFacebookWeb{&kFacebookWeb};
constinit const TProviderHost phFacebookGraph{&kFacebookGraph};
constinit const TProviderHost phFacebookRest{&kFacebookRest};
// NOLINTEND(cert-err58-cpp)

namespace {

// Runs once while the program starts; a failure to allocate there ends it, as it must.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool kRegistered =
    RegisterProvider({.Name = "Facebook",
                      .ClassNameParts = {"Facebook"},
                      .Hosts = {phFacebookWeb, phFacebookGraph, phFacebookRest},
                      .StepOfPath = {},
                      // Facebook's proof of the app secret on Graph calls.
                      .SecretNames = {"appsecret_proof"}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
