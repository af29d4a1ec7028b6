// The process-wide transport settings.
#include <cstdlib>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase {

namespace {

// Read by every request thread. The environment gives the initial extra CA certificates, so
// that a whole process can be pointed at the simulator without code.
struct TSettingsHolder {
  std::mutex Mutex;
  TTransportSettings Settings;
  std::string EnvironmentCA;  // what ZELK_EXTRA_CA_CERTIFICATES gave; never changes
  static bool Switch(const char* Name, bool Default);
  TSettingsHolder() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): getenv races only with setenv, which nothing calls.
    if (const char* Env = std::getenv("ZELK_EXTRA_CA_CERTIFICATES"); Env != nullptr) {
      Settings.ExtraCACertificates = Env;
      EnvironmentCA = Env;
    }
    Settings.ResumeTlsSessions = Switch("ZELK_TLS_RESUMPTION", true);
    Settings.KeepConnections = Switch("ZELK_KEEP_CONNECTIONS", true);
    // Trusting another CA lets whoever holds it read the provider calls: say so.
    if (!EnvironmentCA.empty())
      detail::ReportEnvironmentOverride(
          "ZELK_EXTRA_CA_CERTIFICATES is in force: also trusting the CA certificates " +
          (EnvironmentCA.find("-----BEGIN") != std::string::npos
               ? std::string("given as PEM text in the variable")
               : "in " + EnvironmentCA));
  }
};

// An on/off variable: "1" or "0"; unset keeps Default, anything else is reported and ignored.
bool TSettingsHolder::Switch(const char* Name, bool Default) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): getenv races only with setenv, which nothing calls.
  const char* Env = std::getenv(Name);
  if (Env == nullptr) return Default;
  const std::string Value = Env;
  if (Value == "0" || Value == "1") return Value == "1";
  detail::ReportEnvironmentOverride(std::string(Name) + " is ignored: it must be 0 or 1");
  return Default;
}

TSettingsHolder& Holder() {
  static TSettingsHolder H;
  return H;
}

void CheckTimeout(std::chrono::milliseconds Value, const char* Name) {
  if (Value.count() <= 0)
    throw rtl::Exception(std::string("Transport setting ") + Name +
                         " must be a positive number of milliseconds");
}

}  // namespace

TEnvironmentOverrides EnvironmentOverrides() {
  TEnvironmentOverrides Overrides;
  Overrides.ProviderHostKeys = detail::ProviderHostKeysFromEnvironment();
  Overrides.ExtraCACertificates = Holder().EnvironmentCA;  // written only while it is made
  return Overrides;
}

TTransportSettings TransportSettings() {
  TSettingsHolder& H = Holder();
  std::lock_guard L(H.Mutex);
  return H.Settings;
}

void SetTransportSettings(const TTransportSettings& Settings) {
  CheckTimeout(Settings.ConnectTimeout, "ConnectTimeout");
  CheckTimeout(Settings.StallTimeout, "StallTimeout");
  CheckTimeout(Settings.TotalTimeout, "TotalTimeout");
  CheckTimeout(Settings.KeptConnectionIdle, "KeptConnectionIdle");
  if (Settings.MaxKeptConnectionsPerHost == 0)
    throw rtl::Exception("Transport setting MaxKeptConnectionsPerHost must be at least 1");
  for (const unsigned char C : Settings.ProxyURL)
    if (C < 32 || C == 127)
      throw rtl::Exception("Transport setting ProxyURL contains a control character");
  // Reads the extra certificates now, so that a bad setting fails here, where it was made, and
  // the first call does not pay for building the trust store.
  detail::AcquireTrustStore(Settings.ExtraCACertificates);
  TSettingsHolder& H = Holder();
  {
    std::lock_guard L(H.Mutex);
    H.Settings = Settings;
  }
  // Connections kept under the old settings are not used under the new ones.
  detail::DropKeptConnections();
}

}  // namespace zelk::IWZelkAuthBase
