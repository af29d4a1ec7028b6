// The registered providers: an immutable list that each registration replaces, filled by the
// provider units' static registrars and read by the trace and the transport on every provider
// call and return, which take the list under the lock without copying it.
#include "core/ProviderRegistry.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/web/LogText.h"

namespace zelk::IWZelkAuthBase {

namespace {

using TProviders = std::vector<TProviderRegistration>;

struct TRegistry {
  std::mutex Mutex;
  std::shared_ptr<const TProviders> Providers = std::make_shared<const TProviders>();
};

// Made on first use, so registrars of any translation unit may run in any order.
TRegistry& Registry() {
  static TRegistry R;
  return R;
}

std::shared_ptr<const TProviders> Snapshot() {
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
  auto Next = std::make_shared<TProviders>(*R.Providers);
  const auto It = std::find_if(Next->begin(), Next->end(),
                               [&](const auto& P) { return P.Name == Provider.Name; });
  if (It != Next->end())
    *It = std::move(Provider);
  else
    Next->push_back(std::move(Provider));
  R.Providers = std::move(Next);
  return true;
}

std::string ProviderNameOfClass(std::string_view ClassName) {
  const std::shared_ptr<const TProviders> Providers = Snapshot();
  for (const TProviderRegistration& P : *Providers)
    for (const std::string& Part : P.ClassNameParts)
      if (ClassName.find(Part) != std::string_view::npos) return P.Name;
  return std::string(ClassName);
}

std::string ProviderOfHost(std::string_view Host) {
  const std::shared_ptr<const TProviders> Providers = Snapshot();
  // In key order, so that the answer does not hang on the order the units registered in.
  for (const TProviderHost H : ProviderHosts()) {
    if (ProviderHost(H) != Host) continue;
    for (const TProviderRegistration& P : *Providers)
      if (std::find(P.Hosts.begin(), P.Hosts.end(), H) != P.Hosts.end()) return P.Name;
  }
  return {};
}

std::string ProviderStepOfPath(std::string_view Provider, std::string_view Path) {
  const std::shared_ptr<const TProviders> Providers = Snapshot();
  for (const TProviderRegistration& P : *Providers)
    if (P.Name == Provider && P.StepOfPath) return P.StepOfPath(Path);
  return {};
}

std::vector<std::string> ProviderNames() {
  std::vector<std::string> Names;
  const std::shared_ptr<const TProviders> Providers = Snapshot();
  for (const TProviderRegistration& P : *Providers)
    Names.push_back(P.Name);
  return Names;
}

}  // namespace zelk::IWZelkAuthBase
