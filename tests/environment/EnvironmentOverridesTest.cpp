// The environment variables that redirect provider calls or widen the trusted CAs are never in
// force silently: each says so once on standard error, and the application can ask. The
// variables are read once per process, so every case runs this program again as a probe with
// the case's environment and reads what the probe printed.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "support/UniqueFd.h"

extern char** environ;

namespace zelk {
namespace {

using namespace IWZelkAuthBase;

constexpr const char* kProbe = "--probe";

// The probe: asks twice (the note must still come once) and prints what it learnt.
int RunProbe() {
  const TEnvironmentOverrides First = EnvironmentOverrides();
  const TEnvironmentOverrides Again = EnvironmentOverrides();
  std::string Keys;
  for (const std::string& Key : First.ProviderHostKeys)
    Keys += (Keys.empty() ? "" : ",") + Key;
  std::cout << "keys=" << Keys << "\n"
            << "ca=" << First.ExtraCACertificates << "\n"
            << "any=" << (First.Any() ? "yes" : "no") << "\n"
            << "same="
            << (Again.ProviderHostKeys == First.ProviderHostKeys &&
                        Again.ExtraCACertificates == First.ExtraCACertificates
                    ? "yes"
                    : "no")
            << "\n"
            << "google.apis=" << ProviderHost(phGoogleApis) << "\n"
            << "settings.ca=" << TransportSettings().ExtraCACertificates << std::endl;
  return 0;
}

std::string ReadAll(int Fd) {
  std::string Text;
  std::array<char, 4096> Buffer{};
  for (;;) {
    const ssize_t N = ::read(Fd, Buffer.data(), Buffer.size());
    if (N <= 0) return Text;
    Text.append(Buffer.data(), static_cast<std::size_t>(N));
  }
}

struct TProbeOutput {
  std::string Out;
  std::string Err;
};

// Runs the probe with this process's environment, minus both variables, plus Variables.
TProbeOutput Probe(const std::vector<std::string>& Variables) {
  std::vector<std::string> Environment;
  for (char** E = environ; *E != nullptr; ++E)
    if (std::strncmp(*E, "ZELK_PROVIDER_HOSTS=", 20) != 0 &&
        std::strncmp(*E, "ZELK_EXTRA_CA_CERTIFICATES=", 27) != 0)
      Environment.emplace_back(*E);
  Environment.insert(Environment.end(), Variables.begin(), Variables.end());
  std::vector<char*> Envp;
  for (std::string& E : Environment)
    Envp.push_back(E.data());
  Envp.push_back(nullptr);

  std::array<int, 2> Out{};
  std::array<int, 2> Err{};
  if (::pipe(Out.data()) != 0 || ::pipe(Err.data()) != 0) return {"", "pipe failed"};
  testing::TUniqueFd OutRead(Out[0]), OutWrite(Out[1]), ErrRead(Err[0]), ErrWrite(Err[1]);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, OutWrite.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, ErrWrite.Get(), STDERR_FILENO);
  posix_spawn_file_actions_addclose(&Actions, OutRead.Get());
  posix_spawn_file_actions_addclose(&Actions, ErrRead.Get());
  std::string Self = "/proc/self/exe";
  std::string Flag = kProbe;
  std::array<char*, 3> Argv{Self.data(), Flag.data(), nullptr};
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, Self.c_str(), &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  OutWrite.Reset();
  ErrWrite.Reset();
  if (Spawned != 0) return {"", "spawn failed"};
  // The probe writes a few hundred bytes at most, well within a pipe's buffer.
  TProbeOutput Result{ReadAll(OutRead.Get()), ReadAll(ErrRead.Get())};
  int Status = 0;
  ::waitpid(Pid, &Status, 0);
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) Result.Err += "probe failed";
  return Result;
}

TEST(EnvironmentOverrides, EachVariableInForceIsAnnouncedOnceAndReported) {
  const std::string Pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  const std::string HostsNote =
      "zelk: ZELK_PROVIDER_HOSTS is in force: the provider hosts google.apis, google.accounts "
      "are redirected\n";
  struct TCase {
    const char* Name;
    std::vector<std::string> Variables;
    std::string Out;
    std::string Err;
  };
  const TCase Cases[] = {
      {"neither",
       {},
       "keys=\nca=\nany=no\nsame=yes\ngoogle.apis=www.googleapis.com\nsettings.ca=\n",
       ""},
      {"both empty",
       {"ZELK_PROVIDER_HOSTS=", "ZELK_EXTRA_CA_CERTIFICATES="},
       "keys=\nca=\nany=no\nsame=yes\ngoogle.apis=www.googleapis.com\nsettings.ca=\n",
       ""},
      {"hosts, a key given twice",
       {"ZELK_PROVIDER_HOSTS=google.apis=127.0.0.1:9, google.accounts=127.0.0.1:9,"
        "google.apis=127.0.0.1:10"},
       "keys=google.apis,google.accounts\nca=\nany=yes\nsame=yes\ngoogle.apis=127.0.0.1:10\n"
       "settings.ca=\n",
       HostsNote},
      {"a CA file",
       {"ZELK_EXTRA_CA_CERTIFICATES=/run/zelk/ca.pem"},
       "keys=\nca=/run/zelk/ca.pem\nany=yes\nsame=yes\ngoogle.apis=www.googleapis.com\n"
       "settings.ca=/run/zelk/ca.pem\n",
       "zelk: ZELK_EXTRA_CA_CERTIFICATES is in force: also trusting the CA certificates in "
       "/run/zelk/ca.pem\n"},
      {"both, the CA as PEM text",
       {"ZELK_PROVIDER_HOSTS=google.apis=127.0.0.1:9,google.accounts=127.0.0.1:9",
        "ZELK_EXTRA_CA_CERTIFICATES=" + Pem},
       "keys=google.apis,google.accounts\nca=" + Pem +
           "\nany=yes\nsame=yes\ngoogle.apis=127.0.0.1:9\nsettings.ca=" + Pem + "\n",
       HostsNote +
           "zelk: ZELK_EXTRA_CA_CERTIFICATES is in force: also trusting the CA certificates "
           "given as PEM text in the variable\n"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TProbeOutput P = Probe(C.Variables);
    EXPECT_EQ(P.Out, C.Out);
    EXPECT_EQ(P.Err, C.Err);
  }
}

}  // namespace
}  // namespace zelk

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], zelk::kProbe) == 0) return zelk::RunProbe();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
