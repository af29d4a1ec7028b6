// Provider endpoints: the host every provider call and browser redirect uses.
#pragma once

#include <string>
#include <string_view>

namespace zelk::IWZelkAuthBase {

// Provider endpoints: the host every provider call and browser redirect uses. Defaults are the
// real providers' hosts; the API or the environment variable ZELK_PROVIDER_HOSTS
// ("key=host[:port],key=host[:port],...", keys as ProviderHostKey gives them) point them
// elsewhere, e.g. at the simulator. A host may carry a port; without one it is 443.
enum class TProviderHost {
  phFacebookWeb,
  phFacebookGraph,
  phFacebookRest,
  phGoogleAccounts,
  phGoogleApis,
  phWindowsLiveLogin,
  phWindowsLiveApis,
  phTwitterApi,
  phPayPalLiveNvp,
  phPayPalSandboxNvp,
  phPayPalLiveWeb,
  phPayPalSandboxWeb,
  phGoogleOAuth2,
  phGoogleOpenId,
  phMicrosoftLogin,
  phMicrosoftGraph,
  phPayPalLiveRest,
  phPayPalSandboxRest,
  phXApi
};
using enum TProviderHost;
inline constexpr int kProviderHostCount = 19;

std::string ProviderHost(TProviderHost Which);
void SetProviderHost(TProviderHost Which, std::string Host);
// Back to the real providers' hosts (the environment is not read again).
void ResetProviderHosts();
// "facebook.web", "facebook.graph", "facebook.rest", "google.accounts", "google.apis",
// "live.login", "live.apis", "twitter.api", "paypal.live.nvp", "paypal.sandbox.nvp",
// "paypal.live.web", "paypal.sandbox.web", "google.oauth2", "google.openid", "microsoft.login",
// "microsoft.graph", "paypal.live.rest", "paypal.sandbox.rest", "x.api".
std::string ProviderHostKey(TProviderHost Which);
// Applies a "key=host,..." text; Exception for an unknown key or a malformed host.
void SetProviderHosts(std::string_view Settings);

}  // namespace zelk::IWZelkAuthBase
