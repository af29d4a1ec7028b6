// Provider endpoints: the host every provider call and browser redirect uses.
//
// A host setting belongs to the provider unit that declares it: the unit defines a
// TProviderHostSetting (its key, its default host) and publishes a TProviderHost handle to it
// in a header of its own (<Provider>Hosts.h next to the unit). Core keeps only the table of what
// each setting is now, built from the handles it is asked about and the settings the provider
// units register (core/ProviderRegistry.h); it knows no provider by name.
//
// Defaults are the real providers' hosts; the API or the environment variable
// ZELK_PROVIDER_HOSTS ("key=host[:port],key=host[:port],...", keys as ProviderHostKey gives
// them) point them elsewhere, e.g. at the simulator. A host may carry a port; without one it is
// 443. The environment is read once, on first use of the table; a key it names that no provider
// unit declares makes every use of the table raise Exception.
//
// TEndpoints is a caller's own set of host settings over the process-wide table: a client (or a
// flow) given one uses its hosts where it has them, so that tests of different providers can
// point the same host setting at different places side by side.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::IWZelkAuthBase {

// One host setting as its provider unit defines it (static storage, never changed).
struct TProviderHostSetting {
  const char* Key;      // the ZELK_PROVIDER_HOSTS key, e.g. "provider.api"
  const char* Default;  // the real provider's host
};

// A handle to a host setting; compares by identity. The empty handle names no setting.
class TProviderHost {
 public:
  constexpr TProviderHost() = default;
  constexpr explicit TProviderHost(const TProviderHostSetting* Setting) : FSetting(Setting) {}
  constexpr const TProviderHostSetting* Setting() const { return FSetting; }
  constexpr bool operator==(const TProviderHost&) const = default;

 private:
  const TProviderHostSetting* FSetting = nullptr;
};

// The host Which is set to now. Exception for the empty handle.
std::string ProviderHost(TProviderHost Which);
// Exception for a malformed host (the setting keeps its value) or the empty handle.
void SetProviderHost(TProviderHost Which, std::string Host);
// Back to the real providers' hosts (the environment is not read again).
void ResetProviderHosts();
// The setting's key, e.g. "provider.api".
std::string ProviderHostKey(TProviderHost Which);
// Applies a "key=host,..." text, all or nothing; Exception for an unknown key or a malformed
// host.
void SetProviderHosts(std::string_view Settings);
// Every host setting the table knows (each registered one and each one asked about), ordered by
// key.
std::vector<TProviderHost> ProviderHosts();
// Makes the table know Which (the provider registry does it for every registered setting), so
// that key-based settings and the environment reach it before its first use.
void DeclareProviderHost(TProviderHost Which);

// A caller's own host settings over the process-wide table. Copyable value; not locked (it
// lives inside a client and is reached under the client's lock).
class TEndpoints {
 public:
  // The caller's host for Which when it has one, else the process-wide one.
  std::string Host(TProviderHost Which) const;
  // Exception for a malformed host or the empty handle; the settings are then as they were.
  void Set(TProviderHost Which, std::string Host);
  // Applies a "key=host,..." text with the process-wide table's keys, all or nothing.
  void Apply(std::string_view Settings);
  // Drops the caller's own setting of Which (the process-wide one applies again).
  void Clear(TProviderHost Which) { FHosts.erase(Which.Setting()); }
  bool Empty() const { return FHosts.empty(); }

 private:
  std::map<const TProviderHostSetting*, std::string> FHosts;
};

}  // namespace zelk::IWZelkAuthBase
