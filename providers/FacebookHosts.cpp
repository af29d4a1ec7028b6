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

constinit const TProviderHost phFacebookWeb{&kFacebookWeb};
constinit const TProviderHost phFacebookGraph{&kFacebookGraph};
constinit const TProviderHost phFacebookRest{&kFacebookRest};

namespace {

[[maybe_unused]] const bool kRegistered =
    RegisterProvider({.Name = "Facebook",
                      .ClassNameParts = {"Facebook"},
                      .Hosts = {phFacebookWeb, phFacebookGraph, phFacebookRest},
                      .StepOfPath = {},
                      // Facebook's proof of the app secret on Graph calls.
                      .SecretNames = {"appsecret_proof"}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
