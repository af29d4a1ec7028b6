// zelk-load: the long run of load without loss, outside make test.
//
//   zelk-load [--flows N] [--concurrency C] [--seed S] [--accounts A]
//             [--url URL --ca-file FILE --paypal-url URL [--event-after N --event-command CMD]
//              [--lost-instance NAME] [--expect-instance NAME] [--reload] [--nothing-lost
//              [--allow-unknown]] [--revisit] [--same-return URL]... [--one-session]]
//
// Defaults: 1000 flows, 50 at a time. Without --url it starts zelk-demo in-process with its
// simulator; with --url it drives the application there (instances behind a load balancer, say)
// against the zelk-sim whose CA certificate and PayPal address are given (see
// tests/load/LoadDriver.h: --reload, --nothing-lost, --allow-unknown and --revisit are
// TLoadOptions' Reload, NothingLost, AllowUnknown and Revisit). --same-return, given once per
// instance address, plays N checkouts whose PayPal return goes to every instance at once;
// --one-session signs in with every provider and pays in one session and prints its id. Prints
// the figures and exits with 0 only when every flow ended as its browser chose (or as the
// options allow: on the sign-in-again page for the flows of a --lost-instance without
// --nothing-lost, unknown with --allow-unknown) and every payment reached the provider exactly
// once.
#include <cstdlib>
#include <iostream>
#include <string>

#include "load/LoadDriver.h"
#include "load/TsanSuppressions.h"

namespace {

constexpr const char* kUsage =
    "usage: zelk-load [--flows N] [--concurrency C] [--seed S] [--accounts A]\n"
    "                 [--url URL --ca-file FILE --paypal-url URL]\n"
    "                 [--event-after N --event-command CMD] [--lost-instance NAME]\n"
    "                 [--expect-instance NAME] [--reload] [--nothing-lost [--allow-unknown]]\n"
    "                 [--revisit] [--same-return URL]... [--one-session]\n";

}  // namespace

int main(int Argc, char** Argv) {
  zelk::testing::TLoadOptions O;
  O.Flows = 1000;
  O.Concurrency = 50;
  for (int I = 1; I < Argc; ++I) {
    const std::string Arg = Argv[I];
    const bool HasValue = I + 1 < Argc;
    const auto Value = [&] { return std::strtol(Argv[++I], nullptr, 10); };
    const auto Text = [&] { return std::string(Argv[++I]); };
    if (Arg == "--flows" && HasValue) {
      O.Flows = static_cast<int>(Value());
    } else if (Arg == "--concurrency" && HasValue) {
      O.Concurrency = static_cast<int>(Value());
    } else if (Arg == "--seed" && HasValue) {
      O.Seed = static_cast<std::uint32_t>(Value());
    } else if (Arg == "--accounts" && HasValue) {
      O.Accounts = static_cast<int>(Value());
    } else if (Arg == "--url" && HasValue) {
      O.BaseURL = Text();
    } else if (Arg == "--ca-file" && HasValue) {
      O.CAFile = Text();
    } else if (Arg == "--paypal-url" && HasValue) {
      O.PayPalURL = Text();
    } else if (Arg == "--event-after" && HasValue) {
      O.EventAfter = static_cast<int>(Value());
    } else if (Arg == "--event-command" && HasValue) {
      O.EventCommand = Text();
    } else if (Arg == "--lost-instance" && HasValue) {
      O.LostInstance = Text();
    } else if (Arg == "--expect-instance" && HasValue) {
      O.ExpectInstance = Text();
    } else if (Arg == "--reload") {
      O.Reload = true;
    } else if (Arg == "--nothing-lost") {
      O.NothingLost = true;
    } else if (Arg == "--allow-unknown") {
      O.AllowUnknown = true;
    } else if (Arg == "--revisit") {
      O.Revisit = true;
    } else if (Arg == "--same-return" && HasValue) {
      O.SameReturnTo.push_back(Text());
    } else if (Arg == "--one-session") {
      O.OneSession = true;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (O.Flows < 1 || O.Concurrency < 1 || O.Accounts < 1 || O.EventAfter < 0) {
    std::cerr << "zelk-load: flows, concurrency and accounts must be at least 1\n";
    return 2;
  }
  if (!O.BaseURL.empty() && (O.CAFile.empty() || O.PayPalURL.empty())) {
    std::cerr << "zelk-load: --url needs --ca-file and --paypal-url (the simulator's)\n";
    return 2;
  }
  if (O.BaseURL.empty() && (O.EventAfter > 0 || !O.LostInstance.empty() ||
                            !O.ExpectInstance.empty() || O.Reload || O.NothingLost ||
                            O.Revisit || !O.SameReturnTo.empty() || O.OneSession)) {
    std::cerr << "zelk-load: --event-after, --lost-instance, --expect-instance, --reload, "
                 "--nothing-lost, --revisit, --same-return and --one-session need --url\n";
    return 2;
  }
  if (O.AllowUnknown && !O.NothingLost) {
    std::cerr << "zelk-load: --allow-unknown goes with --nothing-lost\n";
    return 2;
  }
  if ((O.OneSession || !O.SameReturnTo.empty()) && (O.EventAfter > 0 || O.NothingLost)) {
    std::cerr << "zelk-load: --same-return and --one-session take no event\n";
    return 2;
  }
  if ((O.EventAfter > 0) != !O.EventCommand.empty()) {
    std::cerr << "zelk-load: --event-after and --event-command go together\n";
    return 2;
  }
  try {
    const auto Report = O.BaseURL.empty() ? zelk::testing::RunLoad(O, ZELK_DEMO_FORM)
                                          : zelk::testing::RunLoadAgainst(O);
    std::cout << zelk::testing::Describe(Report);
    return zelk::testing::Passed(Report) ? 0 : 1;
  } catch (const std::exception& E) {
    std::cerr << "zelk-load: " << E.what() << "\n";
    return 1;
  }
}
