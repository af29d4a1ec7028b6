// zelk-sim: runs the provider simulator on 127.0.0.1 until SIGINT or SIGTERM.
//
// Standard output gets two lines a shell can export to point a process at it:
//   ZELK_PROVIDER_HOSTS=<the endpoint settings>
//   ZELK_EXTRA_CA_CERTIFICATES=<the file holding the simulator's CA certificate>
// Standard error lists the listeners and the credentials the simulated providers accept, for
// people.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include "platform/rtl/SysUtils.h"

#include "sim/AllProviders.h"
#include "sim/LoadAccounts.h"
#include "sim/Simulator.h"

namespace {

using zelk::sim::Simulator;
using zelk::sim::TProviderId;

constexpr const char* kUsage =
    "Usage: zelk-sim [--ca-file PATH] [--pre-approved-codes PREFIX] [--load-accounts N]\n"
    "                [--allow-callback URL]...\n"
    "Serves every provider's endpoints over HTTPS on 127.0.0.1 until interrupted. For tests,\n"
    "GET /sim/payments at PayPal's address lists the payments taken so far as JSON.\n"
    "  --ca-file PATH  where to write the simulator's CA certificate (PEM); by default a\n"
    "                  file in the temporary directory, removed again at exit\n"
    "  --pre-approved-codes PREFIX\n"
    "                  for load tests: Google's token endpoint also takes codes that start\n"
    "                  with PREFIX (e.g. bench-), each once, as if the signed-in user had\n"
    "                  approved the profile and e-mail scopes for the client and return\n"
    "                  address the token request names, so a load script needs no visit to\n"
    "                  the consent page. Client id and secret are checked as for any code;\n"
    "                  the simulated Google app registers no return addresses, so any is\n"
    "                  accepted. Off by default\n"
    "  --load-accounts N\n"
    "                  for load tests: accounts 1..N at each sign-in provider (\"google-load-1\",\n"
    "                  \"Load User 1 at Google\", ...; Twitter's ids from 7001), beside the\n"
    "                  default users\n"
    "  --allow-callback URL\n"
    "                  registers URL (e.g. http://127.0.0.1:8000/, a balancer's public address)\n"
    "                  as a callback of the simulated X app, so that an application running\n"
    "                  elsewhere can sign in with X's current API; repeatable\n";

void WriteFile(const std::filesystem::path& Path, const std::string& Text) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Text;
  Out.close();
  if (!Out) throw zelk::rtl::Exception("Cannot write the CA certificate to " + Path.string());
}

int Run(int argc, char** argv) {
  std::filesystem::path CAFile;
  bool OwnFile = false;
  std::string CodePrefix;
  int LoadAccounts = 0;
  std::vector<std::string> Callbacks;
  for (int I = 1; I < argc; ++I) {
    const bool TakesValue = std::strcmp(argv[I], "--ca-file") == 0 ||
                            std::strcmp(argv[I], "--pre-approved-codes") == 0 ||
                            std::strcmp(argv[I], "--load-accounts") == 0 ||
                            std::strcmp(argv[I], "--allow-callback") == 0;
    if (TakesValue && I + 1 >= argc) {
      std::cerr << "zelk-sim: " << argv[I] << " needs a value\n" << kUsage;
      return 2;
    }
    if (std::strcmp(argv[I], "--ca-file") == 0) {
      CAFile = argv[++I];
    } else if (std::strcmp(argv[I], "--pre-approved-codes") == 0) {
      CodePrefix = argv[++I];
      if (CodePrefix.empty()) {
        std::cerr << "zelk-sim: --pre-approved-codes needs a prefix that is not empty\n" << kUsage;
        return 2;
      }
    } else if (std::strcmp(argv[I], "--load-accounts") == 0) {
      const std::string Text = argv[++I];
      char* End = nullptr;
      const long Count = std::strtol(Text.c_str(), &End, 10);
      if (Text.empty() || *End != '\0' || Count < 1 || Count > 10000) {
        std::cerr << "zelk-sim: --load-accounts needs a number from 1 to 10000, not \"" << Text
                  << "\"\n"
                  << kUsage;
        return 2;
      }
      LoadAccounts = static_cast<int>(Count);
    } else if (std::strcmp(argv[I], "--allow-callback") == 0) {
      const std::string URL = argv[++I];
      if (!URL.starts_with("http://") && !URL.starts_with("https://")) {
        std::cerr << "zelk-sim: --allow-callback needs an http:// or https:// address, not \""
                  << URL << "\"\n"
                  << kUsage;
        return 2;
      }
      Callbacks.push_back(URL);
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
  Providers->Google().SetPreApprovedCodePrefix(CodePrefix);
  zelk::sim::AddLoadAccounts(*Providers, LoadAccounts);
  for (const std::string& URL : Callbacks)
    Providers->Twitter().AllowCallback(zelk::sim::TwitterSim::kDefaultConsumerKey, URL);
  // What a test that drives an application from outside needs to tell that each checkout was
  // charged once.
  Sim.Route(TProviderId::PayPal, "GET", "/sim/payments",
            [&Providers](const zelk::sim::TSimRequest&) {
              nlohmann::json List = nlohmann::json::array();
              const auto Add = [&List](const zelk::sim::TPayPalSimPayment& P) {
                List.push_back({{"method", P.Method},
                                {"token", P.Token},
                                {"transaction_id", P.TransactionID},
                                {"amount", P.Amount},
                                {"currency", P.Currency}});
              };
              for (const auto& P : Providers->PayPal().Payments())
                Add(P);
              for (const auto& P : Providers->PayPal().RestPayments())
                Add(P);
              return zelk::sim::TSimResponse::Text(List.dump(), "application/json");
            });
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
  for (const std::string& URL : Callbacks)
    std::cerr << "zelk-sim: X's app takes the callback " << URL << "\n";
  if (!CodePrefix.empty())
    std::cerr << "zelk-sim: Google's token endpoint takes every code that starts with \""
              << CodePrefix << "\" once, without a consent (load tests)\n";
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
