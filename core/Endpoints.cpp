// The process-wide table of provider hosts.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
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

struct THostInfo {
  const char* Key;
  const char* Default;
};

constexpr std::array<THostInfo, kProviderHostCount> kHosts{{
    {"facebook.web", "www.facebook.com"},
    {"facebook.graph", "graph.facebook.com"},
    {"facebook.rest", "api.facebook.com"},
    {"google.accounts", "accounts.google.com"},
    {"google.apis", "www.googleapis.com"},
    {"live.login", "login.live.com"},
    {"live.apis", "apis.live.net"},
    {"twitter.api", "api.twitter.com"},
    {"paypal.live.nvp", "api-3t.paypal.com"},
    {"paypal.sandbox.nvp", "api-3t.sandbox.paypal.com"},
    {"paypal.live.web", "www.paypal.com"},
    {"paypal.sandbox.web", "www.sandbox.paypal.com"},
    {"google.oauth2", "oauth2.googleapis.com"},
    {"google.openid", "openidconnect.googleapis.com"},
    {"microsoft.login", "login.microsoftonline.com"},
    {"microsoft.graph", "graph.microsoft.com"},
    {"paypal.live.rest", "api-m.paypal.com"},
    {"paypal.sandbox.rest", "api-m.sandbox.paypal.com"},
    {"x.api", "api.x.com"},
}};

using THosts = std::array<std::string, kProviderHostCount>;

THosts DefaultHosts() {
  THosts H;
  for (std::size_t I = 0; I < kHosts.size(); ++I)
    H[I] = kHosts[I].Default;
  return H;
}

// Applies Settings and gives the keys they set, each once, in the order first given.
std::vector<std::string> Apply(THosts& Hosts, std::string_view Settings) {
  std::vector<std::string> Keys;
  while (!Settings.empty()) {
    const auto Comma = Settings.find(',');
    std::string_view Item = Settings.substr(0, Comma);
    Settings = Comma == std::string_view::npos ? std::string_view() : Settings.substr(Comma + 1);
    while (!Item.empty() && Item.front() == ' ')
      Item.remove_prefix(1);
    while (!Item.empty() && Item.back() == ' ')
      Item.remove_suffix(1);
    if (Item.empty()) continue;
    const auto Eq = Item.find('=');
    if (Eq == std::string_view::npos)
      throw rtl::Exception("Provider host setting \"" + std::string(Item) +
                           "\" is not of the form key=host[:port]");
    const std::string_view Key = Item.substr(0, Eq);
    const std::string_view Host = Item.substr(Eq + 1);
    std::size_t Index = kHosts.size();
    for (std::size_t I = 0; I < kHosts.size(); ++I)
      if (Key == kHosts[I].Key) Index = I;
    if (Index == kHosts.size())
      throw rtl::Exception("Unknown provider host key \"" + std::string(Key) + "\"");
    if (!IsValidHost(Host))
      throw rtl::Exception("Provider host \"" + std::string(Host) + "\" for " + std::string(Key) +
                           " is not a host name or address with an optional port");
    Hosts[Index] = std::string(Host);
    if (std::find(Keys.begin(), Keys.end(), Key) == Keys.end()) Keys.emplace_back(Key);
  }
  return Keys;
}

// Read by every request thread; the environment is applied once, on first use.
struct TTable {
  std::mutex Mutex;
  THosts Hosts = DefaultHosts();
  std::vector<std::string> EnvironmentKeys;  // what ZELK_PROVIDER_HOSTS set; never changes
  TTable() {
    // Read once, while the table is made: the library never changes the environment.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): getenv races only with setenv, which nothing calls.
    if (const char* Env = std::getenv("ZELK_PROVIDER_HOSTS"); Env != nullptr && *Env != '\0') {
      EnvironmentKeys = Apply(Hosts, Env);
      // Provider calls carry secrets: a redirection must never go unnoticed.
      if (!EnvironmentKeys.empty()) {
        std::string Keys;
        for (const std::string& Key : EnvironmentKeys)
          Keys += (Keys.empty() ? "" : ", ") + Key;
        detail::ReportEnvironmentOverride("ZELK_PROVIDER_HOSTS is in force: the provider hosts " +
                                          Keys + " are redirected");
      }
    }
  }
};

TTable& Table() {
  static TTable T;
  return T;
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

std::string ProviderHost(TProviderHost Which) {
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  return T.Hosts[static_cast<std::size_t>(Which)];
}

void SetProviderHost(TProviderHost Which, std::string Host) {
  if (!IsValidHost(Host))
    throw rtl::Exception("Provider host \"" + Host +
                         "\" is not a host name or address with an optional port");
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  T.Hosts[static_cast<std::size_t>(Which)] = std::move(Host);
}

void ResetProviderHosts() {
  TTable& T = Table();
  std::lock_guard L(T.Mutex);
  T.Hosts = DefaultHosts();
}

std::string ProviderHostKey(TProviderHost Which) {
  return kHosts[static_cast<std::size_t>(Which)].Key;
}

void SetProviderHosts(std::string_view Settings) {
  TTable& T = Table();
  THosts Copy;
  {
    std::lock_guard L(T.Mutex);
    Copy = T.Hosts;
  }
  Apply(Copy, Settings);  // all or nothing
  std::lock_guard L(T.Mutex);
  T.Hosts = std::move(Copy);
}

}  // namespace zelk::IWZelkAuthBase
