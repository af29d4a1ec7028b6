// The process-wide table of provider hosts, and a caller's own host settings over it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase {

namespace detail {

// A host setting is a host name or IPv4 address, or a bracketed IPv6 address, with an optional
// port: nothing that could carry a path, credentials or a second URL.
bool IsValidHost(std::string_view Host) {
  if (Host.empty() || Host.size() > 255) return false;
  std::string_view Name = Host;
  std::string_view Port;
  if (Name.front() == '[') {
    const auto Close = Name.find(']');
    if (Close == std::string_view::npos) return false;
    const std::string_view Addr = Name.substr(1, Close - 1);
    if (Addr.empty() ||
        Addr.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
      return false;
    const std::string_view Rest = Name.substr(Close + 1);
    if (!Rest.empty()) {
      if (Rest.front() != ':') return false;
      Port = Rest.substr(1);
      if (Port.empty()) return false;
    }
  } else {
    const auto Colon = Name.find(':');
    if (Colon != std::string_view::npos) {
      Port = Name.substr(Colon + 1);
      Name = Name.substr(0, Colon);
      if (Port.empty()) return false;
    }
    if (Name.empty() || Name.find_first_not_of(
                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
                            std::string_view::npos)
      return false;
  }
  if (!Port.empty()) {
    if (Port.size() > 5 || Port.find_first_not_of("0123456789") != std::string_view::npos)
      return false;
    const long P = std::strtol(std::string(Port).c_str(), nullptr, 10);
    if (P < 1 || P > 65535) return false;
  }
  return true;
}

}  // namespace detail

namespace {

using detail::IsValidHost;

using TSetting = TProviderHostSetting;

struct TEntry {
  const TSetting* Setting = nullptr;
  std::string Host;
};
// By key: the order ProviderHosts gives and the one key-based settings are looked up in.
using THosts = std::map<std::string, TEntry, std::less<>>;
using TPairs = std::vector<std::pair<std::string, std::string>>;

std::string_view Trimmed(std::string_view Item) {
  while (!Item.empty() && Item.front() == ' ')
    Item.remove_prefix(1);
  while (!Item.empty() && Item.back() == ' ')
    Item.remove_suffix(1);
  return Item;
}

// The "key=host" pairs of Settings in the order given; Exception for a malformed item or host.
TPairs Parse(std::string_view Settings) {
  TPairs Pairs;
  while (!Settings.empty()) {
    const auto Comma = Settings.find(',');
    const std::string_view Item = Trimmed(Settings.substr(0, Comma));
    Settings = Comma == std::string_view::npos ? std::string_view() : Settings.substr(Comma + 1);
    if (Item.empty()) continue;
    const auto Eq = Item.find('=');
    if (Eq == std::string_view::npos)
      throw rtl::Exception("Provider host setting \"" + std::string(Item) +
                           "\" is not of the form key=host[:port]");
    Pairs.emplace_back(Item.substr(0, Eq), Item.substr(Eq + 1));
  }
  return Pairs;
}

void CheckHost(const std::string& Key, const std::string& Host) {
  if (!IsValidHost(Host))
    throw rtl::Exception("Provider host \"" + Host + "\" for " + Key +
                         " is not a host name or address with an optional port");
}

[[noreturn]] void UnknownKey(std::string_view Key) {
  throw rtl::Exception("Unknown provider host key \"" + std::string(Key) + "\"");
}

// Applies Pairs to Hosts, all or nothing: every key must be known, every host well formed.
void Apply(THosts& Hosts, const TPairs& Pairs) {
  THosts Copy = Hosts;
  for (const auto& [Key, Host] : Pairs) {
    const auto It = Copy.find(Key);
    if (It == Copy.end()) UnknownKey(Key);
    CheckHost(Key, Host);
    It->second.Host = Host;
  }
  Hosts = std::move(Copy);
}

// Read by every request thread; the environment is read once, when the table is made, and
// applied to each setting as the table comes to know it.
struct TTable {
  std::mutex Mutex;
  THosts Hosts;
  TPairs Environment;                        // what ZELK_PROVIDER_HOSTS says, in its order
  std::vector<std::string> EnvironmentKeys;  // each key it sets, once; never changes
  std::string EnvironmentError;              // why it cannot be applied; empty: it can
  bool EnvironmentKnown = false;             // every key it names is a known setting

  TTable() {
    // Read once, while the table is made: the library never changes the environment.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): getenv races only with setenv, which nothing calls.
    const char* Env = std::getenv("ZELK_PROVIDER_HOSTS");
    if (Env == nullptr || *Env == '\0') return;
    try {
      Environment = Parse(Env);
      for (const auto& [Key, Host] : Environment)
        CheckHost(Key, Host);
    } catch (const rtl::Exception& E) {
      EnvironmentError = E.Message();
      return;
    }
    for (const auto& Pair : Environment)
      if (std::find(EnvironmentKeys.begin(), EnvironmentKeys.end(), Pair.first) ==
          EnvironmentKeys.end())
        EnvironmentKeys.push_back(Pair.first);
    // Provider calls carry secrets: a redirection must never go unnoticed.
    std::string Keys;
    for (const std::string& Key : EnvironmentKeys)
      Keys += (Keys.empty() ? "" : ", ") + Key;
    detail::ReportEnvironmentOverride("ZELK_PROVIDER_HOSTS is in force: the provider hosts " +
                                      Keys + " are redirected");
  }

  // The entry of Setting, made (with its default, then the environment's host) on first use.
  TEntry& Declare(const TSetting* Setting) {
    if (Setting == nullptr) throw rtl::Exception("No provider host setting is named");
    auto [It, Made] = Hosts.try_emplace(Setting->Key, TEntry{Setting, Setting->Default});
    if (Made)
      for (const auto& [Key, Host] : Environment)
        if (Key == Setting->Key) It->second.Host = Host;
    return It->second;
  }

  // Raises what keeps the environment from applying; held under Mutex.
  void CheckEnvironment() {
    if (!EnvironmentError.empty()) throw rtl::Exception(EnvironmentError);
    if (EnvironmentKnown) return;
    for (const std::string& Key : EnvironmentKeys)
      if (Hosts.find(Key) == Hosts.end()) UnknownKey(Key);
    EnvironmentKnown = true;
  }
};

TTable& Table() {
  static TTable T;
  return T;
}

THosts Defaults(const THosts& Hosts) {
  THosts D = Hosts;
  for (auto& [Key, Entry] : D)
    Entry.Host = Entry.Setting->Default;
  return D;
}

}  // namespace

namespace detail {

std::vector<std::string> ProviderHostKeysFromEnvironment() {
  return Table().EnvironmentKeys;  // written only while the table is made
}

void ReportEnvironmentOverride(const std::string& What) {
  // One write, so that notes from several threads do not interleave.
  const std::string Line = "zelk: " + What + "\n";
  std::fwrite(Line.data(), 1, Line.size(), stderr);
}

}  // namespace detail

void DeclareProviderHost(TProviderHost Which) {
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  T.Declare(Which.Setting());
}

std::string ProviderHost(TProviderHost Which) {
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  TEntry& E = T.Declare(Which.Setting());
  T.CheckEnvironment();
  return E.Host;
}

void SetProviderHost(TProviderHost Which, std::string Host) {
  if (!IsValidHost(Host))
    throw rtl::Exception("Provider host \"" + Host +
                         "\" is not a host name or address with an optional port");
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  TEntry& E = T.Declare(Which.Setting());
  T.CheckEnvironment();
  E.Host = std::move(Host);
}

void ResetProviderHosts() {
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  T.Hosts = Defaults(T.Hosts);
}

std::string ProviderHostKey(TProviderHost Which) {
  if (Which.Setting() == nullptr) throw rtl::Exception("No provider host setting is named");
  return Which.Setting()->Key;
}

void SetProviderHosts(std::string_view Settings) {
  const TPairs Pairs = Parse(Settings);
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  T.CheckEnvironment();
  Apply(T.Hosts, Pairs);
}

std::vector<TProviderHost> ProviderHosts() {
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  std::vector<TProviderHost> All;
  for (const auto& [Key, Entry] : T.Hosts)
    All.emplace_back(Entry.Setting);
  return All;
}

// ---------------------------------------------------------------------------------------------
// TEndpoints

std::string TEndpoints::Host(TProviderHost Which) const {
  if (const auto It = FHosts.find(Which.Setting()); It != FHosts.end()) return It->second;
  return ProviderHost(Which);
}

void TEndpoints::Set(TProviderHost Which, std::string Host) {
  CheckHost(ProviderHostKey(Which), Host);
  FHosts[Which.Setting()] = std::move(Host);
}

void TEndpoints::Apply(std::string_view Settings) {
  const TPairs Pairs = Parse(Settings);
  std::map<const TSetting*, std::string> Copy = FHosts;
  for (const auto& [Key, Host] : Pairs) {
    const TSetting* Setting = nullptr;
    for (const TProviderHost H : ProviderHosts())
      if (Key == H.Setting()->Key) Setting = H.Setting();
    if (Setting == nullptr) UnknownKey(Key);
    CheckHost(Key, Host);
    Copy[Setting] = Host;
  }
  FHosts = std::move(Copy);
}

}  // namespace zelk::IWZelkAuthBase
