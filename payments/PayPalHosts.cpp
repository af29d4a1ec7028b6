// The PayPal provider's host settings and its registration: a static registrar, linked whenever
// a handle of the unit is used.
#include "payments/PayPalHosts.h"

#include "core/ProviderRegistry.h"

namespace zelk::IWZelkAuthBase {

namespace {

constexpr TProviderHostSetting kPayPalLiveNvp{"paypal.live.nvp", "api-3t.paypal.com"};
constexpr TProviderHostSetting kPayPalSandboxNvp{"paypal.sandbox.nvp", "api-3t.sandbox.paypal.com"};
constexpr TProviderHostSetting kPayPalLiveWeb{"paypal.live.web", "www.paypal.com"};
constexpr TProviderHostSetting kPayPalSandboxWeb{"paypal.sandbox.web", "www.sandbox.paypal.com"};
constexpr TProviderHostSetting kPayPalLiveRest{"paypal.live.rest", "api-m.paypal.com"};
constexpr TProviderHostSetting kPayPalSandboxRest{"paypal.sandbox.rest",
                                                  "api-m.sandbox.paypal.com"};

}  // namespace

// The handles are constant-initialised (constinit): nothing runs, so nothing can throw.
// NOLINTBEGIN(cert-err58-cpp)
constinit const TProviderHost phPayPalLiveNvp{&kPayPalLiveNvp};
constinit const TProviderHost phPayPalSandboxNvp{&kPayPalSandboxNvp};
constinit const TProviderHost phPayPalLiveWeb{&kPayPalLiveWeb};
constinit const TProviderHost phPayPalSandboxWeb{&kPayPalSandboxWeb};
constinit const TProviderHost phPayPalLiveRest{&kPayPalLiveRest};
constinit const TProviderHost phPayPalSandboxRest{&kPayPalSandboxRest};
// NOLINTEND(cert-err58-cpp)

namespace {

// A call outside any flow step: the NVP API answers on "/nvp", the REST API elsewhere.
std::string StepOfPath(std::string_view Path) {
  return Path.find("/nvp") != std::string_view::npos ? "NVP call" : "REST call";
}

// Runs once while the program starts; a failure to allocate there ends it, as it must.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool kRegistered =
    RegisterProvider({.Name = "PayPal",
                      .ClassNameParts = {"PayPal"},
                      .Hosts = {phPayPalLiveNvp, phPayPalSandboxNvp, phPayPalLiveWeb,
                                phPayPalSandboxWeb, phPayPalLiveRest, phPayPalSandboxRest},
                      .StepOfPath = StepOfPath,
                      // NVP: the seller's password and signature, the card's code and number.
                      .SecretNames = {"pwd", "signature", "cvv2"},
                      .CardNumberNames = {"acct"}});

}  // namespace

}  // namespace zelk::IWZelkAuthBase
