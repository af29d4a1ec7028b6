// zelk-demo: a web application that uses every component of the library. By default it runs
// the provider simulator in the same process, so every flow works offline:
//
//   zelk-demo                       http://127.0.0.1:8080/ with the simulator
//   zelk-demo --port 0              a free port; the address is printed
//   zelk-demo --live --form FILE    the real providers, credentials from FILE
//
// Standard output gets "Open <address> in a browser" once the server listens (scripts and
// the browser tests read the address from it); everything else goes to standard error.
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "core/Trace.h"
#include "examples/demo/DemoApplication.h"
#include "examples/demo/DemoOptions.h"
#include "platform/rtl/SysUtils.h"
#include "sim/Simulator.h"

namespace {

using zelk::demo::TDemoApplication;
using zelk::demo::TDemoOptions;

// The demo's own form file: beside the executable (the build copies it there), else in the
// source tree it was built from.
std::string DefaultFormFile() {
  std::error_code Error;
  const auto Self = std::filesystem::read_symlink("/proc/self/exe", Error);
  if (!Error) {
    const auto Beside = Self.parent_path() / "demo-form.json";
    if (std::filesystem::exists(Beside, Error)) return Beside.string();
  }
  return ZELK_DEMO_SOURCE_FORM;
}

int Run(int Argc, char** Argv) {
  TDemoOptions Options;
  try {
    Options = zelk::demo::ParseDemoOptions(Argc - 1, Argv + 1);
  } catch (const zelk::rtl::Exception& E) {
    std::cerr << "zelk-demo: " << E.Message() << "\n" << zelk::demo::kDemoUsage;
    return 2;
  }
  if (Options.Help) {
    std::cout << zelk::demo::kDemoUsage;
    return 0;
  }

  if (Options.Trace)
    zelk::IWZelkAuthBase::SetTraceSink(
        [](const std::string& Line) { std::cerr << "zelk-demo trace: " << Line << '\n'; });
  TDemoApplication Demo(Options, DefaultFormFile());
  for (const auto& Flow : Demo.Unconfigured())
    std::cerr << "zelk-demo: the form file gives no credentials for " << Flow
              << "; that flow will fail\n";
  Demo.RunUntilSignal([&] {
    if (const zelk::sim::Simulator* Sim = Demo.Simulator()) {
      std::cerr << "zelk-demo: the provider simulator serves Google at "
                << Sim->BaseURL(zelk::sim::TProviderId::Google) << ", Facebook at "
                << Sim->BaseURL(zelk::sim::TProviderId::Facebook) << ", Windows Live at "
                << Sim->BaseURL(zelk::sim::TProviderId::WindowsLive) << ", Twitter at "
                << Sim->BaseURL(zelk::sim::TProviderId::Twitter) << " (its current API at https://"
                << zelk::IWZelkAuthBase::ProviderHost(zelk::IWZelkAuthBase::phXApi)
                << ") and PayPal at " << Sim->BaseURL(zelk::sim::TProviderId::PayPal) << ".\n"
                << "zelk-demo: its pages use a certificate made at start-up: the browser warns "
                   "once for each of these addresses; accept the certificate to go on.\n";
    } else {
      std::cerr << "zelk-demo: using the real providers.\n";
    }
    std::cerr << "zelk-demo: stop with Ctrl+C.\n";
    std::cout << "Open " << Demo.URL() << " in a browser" << std::endl;
  });
  std::cerr << "zelk-demo: stopped.\n";
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  try {
    return Run(Argc, Argv);
  } catch (const std::exception& E) {
    std::cerr << "zelk-demo: " << E.what() << "\n";
    return 1;
  }
}
