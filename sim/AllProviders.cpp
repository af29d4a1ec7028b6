#include "sim/AllProviders.h"

namespace zelk::sim {

TAllProviders::TAllProviders(Simulator& Sim)
    : FGoogle(Sim), FFacebook(Sim), FWindowsLive(Sim), FTwitter(Sim), FPayPal(Sim) {
  FCredentials.Google = GoogleSim::DefaultApp();
  FCredentials.Facebook = FacebookSim::DefaultApp();
  FCredentials.WindowsLive = WindowsLiveSim::DefaultApp();
  FCredentials.TwitterConsumerKey = TwitterSim::kDefaultConsumerKey;
  FCredentials.TwitterConsumerSecret = TwitterSim::kDefaultConsumerSecret;
  FCredentials.PayPal = FPayPal.Account();
}

std::unique_ptr<TAllProviders> InstallAllProviders(Simulator& Sim) {
  return std::make_unique<TAllProviders>(Sim);
}

}  // namespace zelk::sim
