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
//
// The same browsers can drive an application that runs elsewhere (instances of zelk-demo behind
// a load balancer, sharing one zelk-sim): RunLoadAgainst. A run there can stop an instance
// midway (a shell command, once so many flows have ended) and tell the flows of that instance
// apart by the balancer's session cookie ("app2~<session id>" names app2).
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

  // RunLoadAgainst only. The application's address ("http://127.0.0.1:8000/"), the file
  // holding the simulator's CA certificate (PEM) and PayPal's address at the simulator, whose
  // "/sim/payments" lists the payments taken (zelk-sim). The simulator must have the load
  // accounts (zelk-sim --load-accounts with at least Accounts).
  std::string BaseURL;
  std::string CAFile;
  std::string PayPalURL;
  // Runs EventCommand through the shell once EventAfter flows have ended (0: never).
  int EventAfter = 0;
  std::string EventCommand;
  // The instance EventCommand stops abruptly: its flows in progress end on the page that asks
  // the user to sign in again (or, for a request it was serving at that moment, on the
  // balancer's error), never as a success after the stop. Empty: every flow must complete.
  std::string LostInstance;
  // Fails the run unless some flow's session lived on this instance (one that came back).
  std::string ExpectInstance;
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
  // RunLoadAgainst: flows by the instance their session lived on ("?" before it had one).
  std::map<std::string, int> ByInstance;
  // Flows of LostInstance that ended on the sign-in-again page, and those cut off while the
  // instance served one of their requests.
  int SignInAgain = 0;
  int CutOff = 0;
};

// Starts zelk-demo in this process (free port, its own simulator, FormFile as its form file),
// adds the accounts, runs the flows and stops the demo.
TLoadReport RunLoad(const TLoadOptions& Options, const std::string& FormFile);

// Runs the flows against the application at Options.BaseURL. Raises rtl::Exception when the
// CA file or the simulator's payments cannot be read.
TLoadReport RunLoadAgainst(const TLoadOptions& Options);

// The figures of a run, one per line.
std::string Describe(const TLoadReport& Report);

}  // namespace zelk::testing
