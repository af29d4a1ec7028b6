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
#include <string_view>
#include <utility>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "core/Trace.h"
#include "providers/GoogleHosts.h"
#include "support/UniqueFd.h"

extern char** environ;

namespace zelk {
namespace {

using namespace IWZelkAuthBase;

constexpr const char* kProbe = "--probe";
constexpr const char* kTraceProbe = "--trace-probe";
constexpr const char* kReuseProbe = "--reuse-probe";

// The reuse probe: the two connection switches as the environment set them.
int RunReuseProbe() {
  const TTransportSettings S = TransportSettings();
  std::cout << S.ResumeTlsSessions << " " << S.KeepConnections << std::endl;
  return 0;
}

// The trace probe: says whether the trace is on and sends one event with a secret in it.
int RunTraceProbe() {
  std::cout << TraceEnabled() << std::endl;
  TTraceEvent Event;
  Event.Provider = "Google";
  Event.Step = "token exchange";
  Event.Request = "code=c0de&client_secret=hush";
  Trace(Event);
  return 0;
}

// The probe: asks twice (the note must still come once) and prints what it learnt.
int RunProbe() {
  EnvironmentOverrides();
  const TEnvironmentOverrides O = EnvironmentOverrides();
  std::string Keys;
  for (const std::string& Key : O.ProviderHostKeys)
    Keys += Key + ",";
  std::cout << Keys << "|" << O.ExtraCACertificates << "|" << O.Any() << "|"
            << ProviderHost(phGoogleApis) << std::endl;
  return 0;
}

std::string ReadAll(int Fd) {
  std::string Text;
  std::array<char, 4096> Buffer{};
  for (ssize_t N = 0; (N = ::read(Fd, Buffer.data(), Buffer.size())) > 0;)
    Text.append(Buffer.data(), static_cast<std::size_t>(N));
  return Text;
}

// Runs the probe with this process's environment, minus both variables, plus Variables, and
// gives its standard output and standard error.
std::pair<std::string, std::string> Probe(const std::vector<std::string>& Variables,
                                          const char* Which = kProbe) {
  std::vector<std::string> Environment;
  for (char** E = environ; *E != nullptr; ++E)
    if (!std::string_view(*E).starts_with("ZELK_")) Environment.emplace_back(*E);
  Environment.insert(Environment.end(), Variables.begin(), Variables.end());
  std::vector<char*> Envp;
  for (std::string& E : Environment)
    Envp.push_back(E.data());
  Envp.push_back(nullptr);

  std::array<int, 4> Pipes{};
  if (::pipe(Pipes.data()) != 0 || ::pipe(Pipes.data() + 2) != 0) return {"", "pipe failed"};
  testing::TUniqueFd OutRead(Pipes[0]), OutWrite(Pipes[1]), ErrRead(Pipes[2]), ErrWrite(Pipes[3]);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, OutWrite.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, ErrWrite.Get(), STDERR_FILENO);
  std::string Self = "/proc/self/exe";
  std::string Flag = Which;
  std::array<char*, 3> Argv{Self.data(), Flag.data(), nullptr};
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, Self.c_str(), &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  OutWrite.Reset();
  ErrWrite.Reset();
  if (Spawned != 0) return {"", "spawn failed"};
  // The probe writes a few hundred bytes at most, well within a pipe's buffer.
  std::pair<std::string, std::string> Result{ReadAll(OutRead.Get()), ReadAll(ErrRead.Get())};
  int Status = 0;
  ::waitpid(Pid, &Status, 0);
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) Result.second += "probe failed";
  return Result;
}

TEST(EnvironmentOverrides, EachVariableInForceIsAnnouncedOnceAndReported) {
  const std::string Pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  const std::string Hosts =
      "zelk: ZELK_PROVIDER_HOSTS is in force: the provider hosts google.apis, google.accounts "
      "are redirected\n";
  const std::string CA =
      "zelk: ZELK_EXTRA_CA_CERTIFICATES is in force: also trusting the CA "
      "certificates ";
  struct TCase {
    std::vector<std::string> Variables;
    std::string Out;
    std::string Err;
  };
  const TCase Cases[] = {
      {{}, "||0|www.googleapis.com\n", ""},
      {{"ZELK_PROVIDER_HOSTS=", "ZELK_EXTRA_CA_CERTIFICATES="}, "||0|www.googleapis.com\n", ""},
      // A key given twice is reported once; the last host given wins.
      {{"ZELK_PROVIDER_HOSTS=google.apis=127.0.0.1:9, google.accounts=127.0.0.1:9,"
        "google.apis=127.0.0.1:10"},
       "google.apis,google.accounts,||1|127.0.0.1:10\n",
       Hosts},
      {{"ZELK_EXTRA_CA_CERTIFICATES=/run/zelk/ca.pem"},
       "|/run/zelk/ca.pem|1|www.googleapis.com\n",
       CA + "in /run/zelk/ca.pem\n"},
      {{"ZELK_PROVIDER_HOSTS=google.apis=127.0.0.1:9,google.accounts=127.0.0.1:9",
        "ZELK_EXTRA_CA_CERTIFICATES=" + Pem},
       "google.apis,google.accounts,|" + Pem + "|1|127.0.0.1:9\n",
       Hosts + CA + "given as PEM text in the variable\n"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Out);
    const auto [Out, Err] = Probe(C.Variables);
    EXPECT_EQ(Out, C.Out);
    EXPECT_EQ(Err, C.Err);
  }
}

TEST(EnvironmentTrace, ZelkTraceOneWritesTheRedactedTraceToStandardError) {
  const auto [Off, Silent] = Probe({}, kTraceProbe);
  EXPECT_EQ(Off, "0\n");
  EXPECT_EQ(Silent, "");
  const auto [Other, StillSilent] = Probe({"ZELK_TRACE=yes"}, kTraceProbe);
  EXPECT_EQ(Other, "0\n");
  EXPECT_EQ(StillSilent, "");
  const auto [On, Line] = Probe({"ZELK_TRACE=1"}, kTraceProbe);
  EXPECT_EQ(On, "1\n");
  EXPECT_EQ(Line,
            "zelk trace: provider=Google step=\"token exchange\" "
            "request=code=[redacted]&client_secret=[redacted]\n");
}

TEST(EnvironmentReuse, TheConnectionSwitchesTakeZeroOrOne) {
  const struct {
    std::vector<std::string> Variables;
    std::string Out;
    std::string Err;
  } Cases[] = {
      {{}, "1 1\n", ""},
      {{"ZELK_TLS_RESUMPTION=0"}, "0 1\n", ""},
      {{"ZELK_TLS_RESUMPTION=1", "ZELK_KEEP_CONNECTIONS=0"}, "1 0\n", ""},
      {{"ZELK_TLS_RESUMPTION=off", "ZELK_KEEP_CONNECTIONS="},
       "1 1\n",
       "zelk: ZELK_TLS_RESUMPTION is ignored: it must be 0 or 1\n"
       "zelk: ZELK_KEEP_CONNECTIONS is ignored: it must be 0 or 1\n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Variables.empty() ? "none" : C.Variables.front());
    const auto [Out, Err] = Probe(C.Variables, kReuseProbe);
    EXPECT_EQ(Out, C.Out);
    EXPECT_EQ(Err, C.Err);
  }
}

}  // namespace
}  // namespace zelk

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], zelk::kProbe) == 0) return zelk::RunProbe();
  if (argc == 2 && std::strcmp(argv[1], zelk::kTraceProbe) == 0) return zelk::RunTraceProbe();
  if (argc == 2 && std::strcmp(argv[1], zelk::kReuseProbe) == 0) return zelk::RunReuseProbe();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
