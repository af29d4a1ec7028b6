// The providers the library knows, as their own units register them.
//
// Core names no provider: each provider unit registers what core needs to know of it (its name
// as the trace and the metrics show it, the parts of its client classes' names, its host
// settings, the trace step of a call no flow step names) with a static registrar in its own
// .cpp, which is linked whenever the unit's client or host handles are used. The trace's
// provider names and the mapping of a call's host to its provider are read from here.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Endpoints.h"

namespace zelk::IWZelkAuthBase {

struct TProviderRegistration {
  // The provider's name in the trace and the metrics ("Example").
  std::string Name{};
  // A client class whose name holds one of these belongs to the provider ("TZIWExampleClient"
  // holds "Example").
  std::vector<std::string> ClassNameParts{};
  // Every host setting of the provider: a call to one of their hosts is the provider's.
  std::vector<TProviderHost> Hosts{};
  // The trace step of a call to the provider that no flow step names, from its path (query
  // cut off); empty or unset: the generic naming applies.
  std::function<std::string(std::string_view Path)> StepOfPath{};
  // The names of the provider's own parameters and members whose values the logs must never
  // show: secrets, and card numbers (shown as their last four digits).
  std::vector<std::string> SecretNames{};
  std::vector<std::string> CardNumberNames{};
};

// Registers Provider (replacing an earlier registration of the same name), declares its host
// settings to the endpoint table and its secret names to the logs' redaction. Returns true, for use
// in a static registrar.
bool RegisterProvider(TProviderRegistration Provider);

// The provider whose class-name part ClassName holds, in registration order; else ClassName.
std::string ProviderNameOfClass(std::string_view ClassName);
// The provider one of whose host settings is Host now (settings in key order); empty for none.
std::string ProviderOfHost(std::string_view Host);
// The registered step name of a call to Provider with Path; empty when it has none.
std::string ProviderStepOfPath(std::string_view Provider, std::string_view Path);
// The names of every registered provider, in registration order.
std::vector<std::string> ProviderNames();

}  // namespace zelk::IWZelkAuthBase
