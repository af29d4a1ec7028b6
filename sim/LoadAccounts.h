// The accounts load tests sign in as: account J (1..Count) at each sign-in provider, beside the
// provider's default user. One naming scheme, so that a load driver and a simulator in another
// process (zelk-sim --load-accounts) agree on every id and name.
#pragma once

#include <string>

#include "sim/AllProviders.h"
#include "sim/Simulator.h"

namespace zelk::sim {

// The id the provider knows account J by ("google-load-3"; Twitter's are numbers, "7003").
std::string LoadAccountID(TProviderId Provider, int J);
// Its full name ("Load User 3 at Google").
std::string LoadAccountName(TProviderId Provider, int J);
// The name a sign-in shows: the full name, or for Twitter the screen name ("load_user_3").
std::string LoadAccountShownName(TProviderId Provider, int J);

// Adds accounts 1..Count at Google, Facebook, Windows Live and Twitter.
void AddLoadAccounts(TAllProviders& Providers, int Count);

}  // namespace zelk::sim
