#include "sim/LoadAccounts.h"

namespace zelk::sim {

namespace {

// As the demo names the flow: the prefix of the account ids.
std::string FlowNameOf(TProviderId Provider) {
  switch (Provider) {
    case TProviderId::Google:
      return "google";
    case TProviderId::Facebook:
      return "facebook";
    case TProviderId::WindowsLive:
      return "windowslive";
    case TProviderId::Twitter:
      return "twitter";
    case TProviderId::PayPal:
      return "paypal";
  }
  return {};
}

}  // namespace

std::string LoadAccountID(TProviderId Provider, int J) {
  return Provider == TProviderId::Twitter ? std::to_string(7000 + J)
                                          : FlowNameOf(Provider) + "-load-" + std::to_string(J);
}

std::string LoadAccountName(TProviderId Provider, int J) {
  return "Load User " + std::to_string(J) + " at " + ProviderName(Provider);
}

std::string LoadAccountShownName(TProviderId Provider, int J) {
  return Provider == TProviderId::Twitter ? "load_user_" + std::to_string(J)
                                          : LoadAccountName(Provider, J);
}

void AddLoadAccounts(TAllProviders& Providers, int Count) {
  for (int J = 1; J <= Count; ++J) {
    for (const TProviderId P :
         {TProviderId::Google, TProviderId::Facebook, TProviderId::WindowsLive}) {
      TSimUser U;
      U.Id = LoadAccountID(P, J);
      U.Name = LoadAccountName(P, J);
      U.Email = "load" + std::to_string(J) + "@" + FlowNameOf(P) + ".test";
      if (P == TProviderId::Google) Providers.Google().AddUser(U);
      if (P == TProviderId::Facebook) Providers.Facebook().AddUser(U);
      if (P == TProviderId::WindowsLive) Providers.WindowsLive().AddUser(U);
    }
    Providers.Twitter().AddUser({LoadAccountID(TProviderId::Twitter, J),
                                 LoadAccountShownName(TProviderId::Twitter, J),
                                 LoadAccountName(TProviderId::Twitter, J)});
  }
}

}  // namespace zelk::sim
