#include "sim/LoadAccounts.h"

#include <cctype>

namespace zelk::sim {

namespace {

// As the demo names the flow ("google", "windowslive"): the prefix of the account ids.
std::string FlowNameOf(TProviderId Provider) {
  std::string Name;
  for (const char C : ProviderName(Provider))
    if (C != ' ') Name += static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Name;
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
