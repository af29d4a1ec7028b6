// Load without loss: a crowd of browsers playing complete flows through zelk-demo against its
// provider simulator, many at a time.
//
// Each browser keeps its own cookies (per host, as a browser does) and follows redirects; it
// opens the demo's page, starts one flow (Google, Facebook, Windows Live or Twitter sign-in, or
// PayPal's Express Checkout, mixed), answers at the provider's page (Allow or Deny, continuing as
// one of several accounts; Pay or Cancel) and follows the provider back to the demo. A flow
// completes only when the demo's page in the browser's own session shows the outcome the browser
// chose, for the account it chose, and nothing of any other flow; afterwards every payment the
// browsers made must have reached the provider exactly once, and no cancelled one.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zelk::testing {

struct TLoadOptions {
  int Flows = 60;
  // Browsers at work at the same time.
  int Concurrency = 50;
  // Chooses each flow's provider, decision and account; equal seeds give equal plans.
  std::uint32_t Seed = 1;
  // Accounts at each sign-in provider besides its default user.
  int Accounts = 8;
};

struct TLoadReport {
  int Planned = 0;
  // Flows that ended as their browser chose.
  int Completed = 0;
  // Completed flows by provider and decision ("Google allow", "PayPal cancel", ...).
  std::map<std::string, int> ByKind;
  // One line per flow that did not complete, and per payment check that failed.
  std::vector<std::string> Failures;
  // Payments the provider recorded.
  int Payments = 0;
  std::chrono::milliseconds Elapsed{0};
};

// Starts zelk-demo in this process (free port, its own simulator, FormFile as its form file),
// adds the accounts, runs the flows and stops the demo.
TLoadReport RunLoad(const TLoadOptions& Options, const std::string& FormFile);

// The figures of a run, one per line.
std::string Describe(const TLoadReport& Report);

}  // namespace zelk::testing
