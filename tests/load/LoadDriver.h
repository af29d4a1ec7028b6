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
// a load balancer, sharing one zelk-sim): RunLoadAgainst. A run there can disturb the
// instances midway (a shell command, once so many flows have ended: an instance killed,
// drained or restarted, the session store paused) and tell the flows of an instance apart by
// the balancer's cookie ("SRV=app2", or a session cookie "app2~<session id>" of a balancer
// that prefixes it). Its browsers can behave as users do when a page fails (Reload), and the
// run can demand that the disturbance lose nothing (NothingLost) and that every browser still
// sees its outcome at its next request (Revisit).
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
  // The instance EventCommand stops abruptly. Without NothingLost its flows in progress end on
  // the page that asks the user to sign in again (or, for a request it was serving at that
  // moment, on the balancer's error), never as a success after the stop; with NothingLost they
  // complete on the other instances. A few of its browsers wait at the provider's page until
  // the stop is over, so that some returns surely come after it. Empty: every flow must
  // complete.
  std::string LostInstance;
  // Fails the run unless some flow's session lived on this instance (one that came back).
  std::string ExpectInstance;
  // The browsers act as users do when a page fails: after the balancer's error (502 or 504: the
  // instance serving the request went away) the page is reloaded once, after a short pause;
  // after a 503 (no instance available, the session store failing) it is reloaded after a
  // second, up to 15 times. A reload sends the same request again (a form's POST
  // too, as a browser's reload does). Off: any such answer ends the flow as a failure.
  bool Reload = false;
  // The sessions outlive their instance (every instance shares a session store), so the event
  // loses nothing: every flow must complete as its browser chose, the stopped instance's too.
  // The one exception (with AllowUnknown): a sign-in whose provider return was cut off by the
  // event (502) or refused by a failing store (503) while an instance was completing it, which
  // then ends, said so, without its outcome: failed (the stopped instance had redeemed the
  // provider's code), "being completed already" or the sign-in-again page. It is counted
  // apart, never as a success. Payments have no exception: each completes as chosen, and is
  // taken exactly once.
  bool NothingLost = false;
  bool AllowUnknown = false;
  // After the flows (and the event), every completed flow's browser opens the page once more,
  // with its cookies: the page must still show the outcome the flow ended with (its signed-in
  // user still signed in, its payment still completed).
  bool Revisit = false;
  // Instead of the flows: Flows PayPal checkouts through BaseURL whose provider return is sent,
  // with the browser's cookies, to each of these addresses (the instances themselves) at the
  // same moment. Every checkout must be captured exactly once. One instance completes it; the
  // others, which wait for that one's hold on the session, show it completed (the same return
  // with the id it renewed is given the new one) or end on "being completed already",
  // "session ended" or the sign-in-again page; the browser's next page through BaseURL shows
  // the payment completed.
  std::vector<std::string> SameReturnTo;
  // Instead of the flows: one browser signs in with every provider and pays, all in one
  // session (TLoadReport::SessionID tells its session's id at the end).
  bool OneSession = false;
  // RunLoad: the in-process demo's session store and key file (empty: sessions in memory).
  std::string SessionStore;
  std::string SessionKeyFile;
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
  // instance served one of their requests (without NothingLost).
  int SignInAgain = 0;
  int CutOff = 0;
  // NothingLost: sign-ins whose return was cut off in flight and which ended without their
  // outcome, said so (counted apart, never as completed), and how each ended.
  int Unknown = 0;
  std::vector<std::string> Unknowns;
  // Flows of LostInstance that completed with requests sent after it had stopped.
  int CompletedElsewhere = 0;
  // Reload: pages reloaded after the balancer's error, and after a 503.
  int ReloadsAfterCutOff = 0;
  int ReloadsAfter503 = 0;
  // Revisit: completed flows whose next page still showed their outcome.
  int Revisited = 0;
  // SameReturnTo: returns completed, refused as being completed, and ended otherwise (a session
  // that had ended, the sign-in-again page).
  int SameReturnCompleted = 0;
  int SameReturnRefused = 0;
  int SameReturnEnded = 0;
  // OneSession: the session's id (its cookie's value) after the last flow.
  std::string SessionID;
};

// Starts zelk-demo in this process (free port, its own simulator, FormFile as its form file),
// adds the accounts, runs the flows and stops the demo.
TLoadReport RunLoad(const TLoadOptions& Options, const std::string& FormFile);

// Runs the flows (or the SameReturnTo or OneSession scenario) against the application at
// Options.BaseURL. Raises rtl::Exception when the CA file or the simulator's payments cannot be
// read.
TLoadReport RunLoadAgainst(const TLoadOptions& Options);

// The figures of a run, one per line.
std::string Describe(const TLoadReport& Report);

// Whether the run ended as it should: every flow accounted for and no failure.
bool Passed(const TLoadReport& Report);

}  // namespace zelk::testing
