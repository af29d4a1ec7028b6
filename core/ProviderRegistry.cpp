// The registered providers: a list guarded by one lock, filled by the provider units' static
// registrars and read by the trace and the transport.
#include "core/ProviderRegistry.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/web/LogText.h"

namespace zelk::IWZelkAuthBase {

namespace {

struct TRegistry {
  std::mutex Mutex;
  std::vector<TProviderRegistration> Providers;
};

// Made on first use, so registrars of any translation unit may run in any order.
TRegistry& Registry() {
  static TRegistry R;
  return R;
}

std::vector<TProviderRegistration> Snapshot() {
  TRegistry& R = Registry();
  std::lock_guard L(R.Mutex);
  return R.Providers;
}

}  // namespace

bool RegisterProvider(TProviderRegistration Provider) {
  for (const TProviderHost H : Provider.Hosts)
    DeclareProviderHost(H);
  web::AddSecretNames(Provider.SecretNames);
  web::AddCardNumberNames(Provider.CardNumberNames);
  TRegistry& R = Registry();
  std::lock_guard L(R.Mutex);
  const auto It = std::find_if(R.Providers.begin(), R.Providers.end(),
                               [&](const auto& P) { return P.Name == Provider.Name; });
  if (It != R.Providers.end())
    *It = std::move(Provider);
  else
    R.Providers.push_back(std::move(Provider));
  return true;
}

std::string ProviderNameOfClass(std::string_view ClassName) {
  for (const TProviderRegistration& P : Snapshot())
    for (const std::string& Part : P.ClassNameParts)
      if (ClassName.find(Part) != std::string_view::npos) return P.Name;
  return std::string(ClassName);
}

std::string ProviderOfHost(std::string_view Host) {
  const std::vector<TProviderRegistration> Providers = Snapshot();
  // In key order, so that the answer does not hang on the order the units registered in.
  for (const TProviderHost H : ProviderHosts()) {
    if (ProviderHost(H) != Host) continue;
    for (const TProviderRegistration& P : Providers)
      if (std::find(P.Hosts.begin(), P.Hosts.end(), H) != P.Hosts.end()) return P.Name;
  }
  return {};
}

std::string ProviderStepOfPath(std::string_view Provider, std::string_view Path) {
  for (const TProviderRegistration& P : Snapshot())
    if (P.Name == Provider && P.StepOfPath) return P.StepOfPath(Path);
  return {};
}

std::vector<std::string> ProviderNames() {
  std::vector<std::string> Names;
  for (const TProviderRegistration& P : Snapshot())
    Names.push_back(P.Name);
  return Names;
}

}  // namespace zelk::IWZelkAuthBase
