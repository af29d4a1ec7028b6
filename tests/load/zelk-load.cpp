// zelk-load: the long run of load without loss, outside make test.
//
//   zelk-load [--flows N] [--concurrency C] [--seed S] [--accounts A]
//
// Defaults: 1000 flows, 50 at a time. Starts zelk-demo in-process with its simulator, plays the
// browsers (see tests/load/LoadDriver.h), prints the figures and exits with 0 only when every
// flow ended as its browser chose and every payment reached the provider exactly once.
#include <cstdlib>
#include <iostream>
#include <string>

#include "load/LoadDriver.h"
#include "load/TsanSuppressions.h"

int main(int Argc, char** Argv) {
  zelk::testing::TLoadOptions O;
  O.Flows = 1000;
  O.Concurrency = 50;
  for (int I = 1; I < Argc; ++I) {
    const std::string Arg = Argv[I];
    const bool HasValue = I + 1 < Argc;
    const auto Value = [&] { return std::strtol(Argv[++I], nullptr, 10); };
    if (Arg == "--flows" && HasValue) {
      O.Flows = static_cast<int>(Value());
    } else if (Arg == "--concurrency" && HasValue) {
      O.Concurrency = static_cast<int>(Value());
    } else if (Arg == "--seed" && HasValue) {
      O.Seed = static_cast<std::uint32_t>(Value());
    } else if (Arg == "--accounts" && HasValue) {
      O.Accounts = static_cast<int>(Value());
    } else {
      std::cerr << "usage: zelk-load [--flows N] [--concurrency C] [--seed S] [--accounts A]\n";
      return 2;
    }
  }
  if (O.Flows < 1 || O.Concurrency < 1 || O.Accounts < 1) {
    std::cerr << "zelk-load: flows, concurrency and accounts must be at least 1\n";
    return 2;
  }
  try {
    const auto Report = zelk::testing::RunLoad(O, ZELK_DEMO_FORM);
    std::cout << zelk::testing::Describe(Report);
    return Report.Completed == Report.Planned && Report.Failures.empty() ? 0 : 1;
  } catch (const std::exception& E) {
    std::cerr << "zelk-load: " << E.what() << "\n";
    return 1;
  }
}
