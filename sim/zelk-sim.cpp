// zelk-sim: runs the provider simulator on 127.0.0.1 until SIGINT or SIGTERM.
//
// Standard output gets two lines a shell can export to point a process at it:
//   ZELK_PROVIDER_HOSTS=<the endpoint settings>
//   ZELK_EXTRA_CA_CERTIFICATES=<the file holding the simulator's CA certificate>
// Standard error lists the listeners and the credentials the simulated providers accept, for
// people.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/rtl/SysUtils.h"
#include "sim/AllProviders.h"
#include "sim/Simulator.h"

namespace {

using zelk::sim::Simulator;
using zelk::sim::TProviderId;

constexpr const char* kUsage =
    "Usage: zelk-sim [--ca-file PATH]\n"
    "Serves every provider's endpoints over HTTPS on 127.0.0.1 until interrupted.\n"
    "  --ca-file PATH  where to write the simulator's CA certificate (PEM); by default a\n"
    "                  file in the temporary directory, removed again at exit\n";

void WriteFile(const std::filesystem::path& Path, const std::string& Text) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Text;
  Out.close();
  if (!Out) throw zelk::rtl::Exception("Cannot write the CA certificate to " + Path.string());
}

int Run(int argc, char** argv) {
  std::filesystem::path CAFile;
  bool OwnFile = false;
  for (int I = 1; I < argc; ++I) {
    if (std::strcmp(argv[I], "--ca-file") == 0 && I + 1 < argc) {
      CAFile = argv[++I];
    } else if (std::strcmp(argv[I], "--help") == 0 || std::strcmp(argv[I], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << "zelk-sim: unknown argument \"" << argv[I] << "\"\n" << kUsage;
      return 2;
    }
  }
  if (CAFile.empty()) {
    CAFile = std::filesystem::temp_directory_path() /
             ("zelk-sim-ca-" + std::to_string(::getpid()) + ".pem");
    OwnFile = true;
  }

  // Blocked before any thread starts, so that every thread inherits the mask and the signals
  // wait for sigwait below.
  sigset_t Signals;
  sigemptyset(&Signals);
  sigaddset(&Signals, SIGINT);
  sigaddset(&Signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &Signals, nullptr);

  Simulator Sim;
  const auto Providers = zelk::sim::InstallAllProviders(Sim);
  Sim.Start();
  WriteFile(CAFile, Sim.CACertificatePEM());

  std::cout << "ZELK_PROVIDER_HOSTS=" << Sim.EndpointSettings() << "\n"
            << "ZELK_EXTRA_CA_CERTIFICATES=" << CAFile.string() << std::endl;
  for (const TProviderId P : {TProviderId::Google, TProviderId::Facebook, TProviderId::WindowsLive,
                              TProviderId::Twitter, TProviderId::PayPal})
    std::cerr << "zelk-sim: " << zelk::sim::ProviderName(P) << " at " << Sim.BaseURL(P) << "\n";
  const zelk::sim::TDemoCredentials& C = Providers->Credentials();
  std::cerr << "zelk-sim: accepted credentials:\n"
            << "  Google        client id " << C.Google.ClientId << ", secret " << C.Google.Secret
            << "\n"
            << "  Facebook      app id " << C.Facebook.ClientId << ", secret " << C.Facebook.Secret
            << "\n"
            << "  Windows Live  client id " << C.WindowsLive.ClientId << ", secret "
            << C.WindowsLive.Secret << "\n"
            << "  Twitter       consumer key " << C.TwitterConsumerKey << ", secret "
            << C.TwitterConsumerSecret << "\n"
            << "  PayPal        API user " << C.PayPal.UserName << ", password "
            << C.PayPal.Password << ", signature " << C.PayPal.Signature << "\n";
  std::cerr << "zelk-sim: running; stop with Ctrl+C" << std::endl;

  int Signal = 0;
  sigwait(&Signals, &Signal);
  std::cerr << "zelk-sim: stopping" << std::endl;
  Sim.Stop();
  if (OwnFile) {
    std::error_code Ignored;
    std::filesystem::remove(CAFile, Ignored);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& E) {
    std::cerr << "zelk-sim: " << E.what() << "\n";
    return 1;
  }
}
