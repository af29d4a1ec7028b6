// zelk-load: the long run of load without loss, outside make test.
//
//   zelk-load [--flows N] [--concurrency C] [--seed S] [--accounts A]
//             [--url URL --ca-file FILE --paypal-url URL [--event-after N --event-command CMD]
//              [--lost-instance NAME] [--expect-instance NAME]]
//
// Defaults: 1000 flows, 50 at a time. Without --url it starts zelk-demo in-process with its
// simulator; with --url it drives the application there (instances behind a load balancer, say)
// against the zelk-sim whose CA certificate and PayPal address are given (see
// tests/load/LoadDriver.h). Prints the figures and exits with 0 only when every flow ended as
// its browser chose (or, for the flows of a --lost-instance, on the sign-in-again page) and
// every payment reached the provider exactly once.
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
    "                 [--expect-instance NAME]\n";

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
  if (O.BaseURL.empty() &&
      (O.EventAfter > 0 || !O.LostInstance.empty() || !O.ExpectInstance.empty())) {
    std::cerr << "zelk-load: --event-after, --lost-instance and --expect-instance need --url\n";
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
    const int Accounted = Report.Completed + Report.SignInAgain + Report.CutOff;
    return Accounted == Report.Planned && Report.Failures.empty() ? 0 : 1;
  } catch (const std::exception& E) {
    std::cerr << "zelk-load: " << E.what() << "\n";
    return 1;
  }
}
