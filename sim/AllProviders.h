// Every provider module of the simulator installed on one Simulator, with the credentials an
// application needs to talk to them: what zelk-sim serves and what the demo signs in with.
#pragma once

#include <memory>
#include <string>

#include "sim/FacebookSim.h"
#include "sim/GoogleSim.h"
#include "sim/PayPalSim.h"
#include "sim/Simulator.h"
#include "sim/TwitterSim.h"
#include "sim/WindowsLiveSim.h"

namespace zelk::sim {

// The application credentials the installed providers accept.
struct TDemoCredentials {
  TSimApp Google;
  TSimApp Facebook;
  TSimApp WindowsLive;
  std::string TwitterConsumerKey;
  std::string TwitterConsumerSecret;
  TPayPalSimAccount PayPal;
};

// Owns the five provider modules of one simulator. The modules' routes keep their own state, so
// the simulator keeps answering even if this object goes first; keep it for as long as the
// modules are to be configured or inspected.
class TAllProviders {
 public:
  explicit TAllProviders(Simulator& Sim);

  GoogleSim& Google() { return FGoogle; }
  FacebookSim& Facebook() { return FFacebook; }
  WindowsLiveSim& WindowsLive() { return FWindowsLive; }
  TwitterSim& Twitter() { return FTwitter; }
  TPayPalSim& PayPal() { return FPayPal; }
  const TDemoCredentials& Credentials() const { return FCredentials; }

 private:
  GoogleSim FGoogle;
  FacebookSim FFacebook;
  WindowsLiveSim FWindowsLive;
  TwitterSim FTwitter;
  TPayPalSim FPayPal;
  TDemoCredentials FCredentials;
};

// Installs Google, Facebook, Windows Live, Twitter and PayPal on Sim (started or not).
std::unique_ptr<TAllProviders> InstallAllProviders(Simulator& Sim);

}  // namespace zelk::sim
