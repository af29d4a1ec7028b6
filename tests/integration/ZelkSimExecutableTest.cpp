// The zelk-sim executable: one command starts it, it prints the settings that point a process
// at it, serves until SIGTERM and then cleans up; its options switch on what load tests need
// and a wrong one is refused with the reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "payments/PayPalHosts.h"
#include "providers/FacebookHosts.h"
#include "providers/GoogleHosts.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/WindowsLiveHosts.h"
#include "sim/TwitterSim.h"
#include "support/FakeApplication.h"
#include "support/UniqueFd.h"

extern char** environ;

namespace zelk::IWZelkAuthBase {
namespace {

// Reads from Fd until Count lines have arrived or the writer closed the pipe.
std::vector<std::string> ReadLines(int Fd, std::size_t Count) {
  std::vector<std::string> Lines;
  std::string Pending;
  char Buffer[1024];
  while (Lines.size() < Count) {
    const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
    if (N <= 0) break;
    Pending.append(Buffer, static_cast<std::size_t>(N));
    for (auto End = Pending.find('\n'); End != std::string::npos; End = Pending.find('\n')) {
      Lines.push_back(Pending.substr(0, End));
      Pending.erase(0, End + 1);
    }
  }
  return Lines;
}

// zelk-sim started with Args, its standard output and error on pipes. A child still running
// when this goes (a failed assertion) is killed and waited for.
class TSimProcess {
 public:
  explicit TSimProcess(std::vector<std::string> Args) {
    int Out[2];
    int Err[2];
    if (::pipe(Out) != 0 || ::pipe(Err) != 0) throw std::runtime_error("pipe failed");
    FOut = testing::TUniqueFd(Out[0]);
    FErr = testing::TUniqueFd(Err[0]);
    testing::TUniqueFd OutWrite(Out[1]);
    testing::TUniqueFd ErrWrite(Err[1]);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, OutWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&Actions, ErrWrite.Get(), STDERR_FILENO);
    posix_spawn_file_actions_addclose(&Actions, FOut.Get());
    posix_spawn_file_actions_addclose(&Actions, FErr.Get());
    Args.insert(Args.begin(), ZELK_SIM_EXECUTABLE);
    std::vector<char*> Argv;
    for (auto& A : Args)
      Argv.push_back(A.data());
    Argv.push_back(nullptr);
    const int Spawned = posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Spawned != 0) throw std::runtime_error(std::string("cannot start ") + Argv[0]);
    // The write ends close here: the child's copies are the only writers now.
  }
  ~TSimProcess() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  TSimProcess(const TSimProcess&) = delete;
  TSimProcess& operator=(const TSimProcess&) = delete;

  int Out() const { return FOut.Get(); }
  int Err() const { return FErr.Get(); }
  // Waits for the child to end; its wait status.
  int Wait() {
    int Status = 0;
    if (::waitpid(FPid, &Status, 0) != FPid) throw std::runtime_error("waitpid failed");
    FPid = 0;
    return Status;
  }
  int Stop() {
    ::kill(FPid, SIGTERM);
    return Wait();
  }

 private:
  pid_t FPid = 0;
  testing::TUniqueFd FOut;
  testing::TUniqueFd FErr;
};

// Everything left on Fd until the writer closes it.
std::string ReadAll(int Fd) {
  std::string Text;
  char Buffer[1024];
  for (ssize_t N; (N = ::read(Fd, Buffer, sizeof Buffer)) > 0;)
    Text.append(Buffer, static_cast<std::size_t>(N));
  return Text;
}

// Points this process at the simulator whose two settings lines are Lines, for as long as it
// lives.
class TPointedAt {
 public:
  explicit TPointedAt(const std::vector<std::string>& Lines) : FSaved(TransportSettings()) {
    SetProviderHosts(Lines[0].substr(Lines[0].find('=') + 1));
    auto S = FSaved;
    S.ExtraCACertificates = Lines[1].substr(Lines[1].find('=') + 1);
    SetTransportSettings(S);
  }
  ~TPointedAt() {
    ResetProviderHosts();
    SetTransportSettings(FSaved);
  }
  TPointedAt(const TPointedAt&) = delete;
  TPointedAt& operator=(const TPointedAt&) = delete;

 private:
  TTransportSettings FSaved;
};

std::string ExchangeBody(const std::string& Code) {
  return "code=" + URLEncode(Code) +
         "&client_id=google-client-id.apps.googleusercontent.test&client_secret=google-secret"
         "&redirect_uri=" +
         URLEncode("http://127.0.0.1:8080/") + "&grant_type=authorization_code";
}

TEST(ZelkSimExecutable, PrintsItsSettingsServesAndStopsOnSigterm) {
  TSimProcess Child({});
  const auto Lines = ReadLines(Child.Out(), 2);
  ASSERT_EQ(Lines.size(), 2u);
  ASSERT_TRUE(Lines[0].starts_with("ZELK_PROVIDER_HOSTS=facebook.graph=127.0.0.1:")) << Lines[0];
  ASSERT_TRUE(Lines[1].starts_with("ZELK_EXTRA_CA_CERTIFICATES=")) << Lines[1];
  const std::string CAFile = Lines[1].substr(Lines[1].find('=') + 1);
  EXPECT_TRUE(std::filesystem::exists(CAFile));

  // Point this process at it with exactly what it printed.
  std::optional<TPointedAt> Pointed(Lines);
  std::string Body;
  Https_Get(ProviderHost(phGoogleApis), "/nothing-here", Body);
  EXPECT_EQ(Body,
            "{\"error\":\"not_found\",\"error_description\":\"No route for GET /nothing-here on "
            "the Google simulator\"}");
  // Every provider module is installed: each answers its own endpoint as that provider would.
  Https_Post(ProviderHost(phGoogleAccounts), "/o/oauth2/token",
             "Content-Type: application/x-www-form-urlencoded",
             "grant_type=authorization_code&client_id=nobody", Body);
  EXPECT_NE(Body.find("\"invalid_client\""), std::string::npos) << Body;
  Https_Post(ProviderHost(phPayPalSandboxNvp), "/nvp", "", "METHOD=doDirectPayment", Body);
  EXPECT_NE(Body.find("ACK=Failure&L_ERRORCODE0=10002"), std::string::npos) << Body;
  for (const auto& [Which, Path] :
       {std::pair{phFacebookGraph, "/me"}, std::pair{phWindowsLiveApis, "/v5.0/me"},
        std::pair{phTwitterApi, "/oauth/access_token"}}) {
    Https_Get(ProviderHost(Which), Path, Body);
    EXPECT_EQ(Body.find("No route"), std::string::npos) << Path << ": " << Body;
  }
  // Codes nobody fetched from the consent page are refused unless asked for.
  Https_Post(ProviderHost(phGoogleAccounts), "/o/oauth2/token",
             "Content-Type: application/x-www-form-urlencoded", ExchangeBody("bench-1"), Body);
  EXPECT_NE(Body.find("\"invalid_grant\""), std::string::npos) << Body;
  Pointed.reset();

  const int Status = Child.Stop();
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "status " << Status;
  EXPECT_FALSE(std::filesystem::exists(CAFile)) << "the CA file it made is removed at exit";
}

TEST(ZelkSimExecutable, PreApprovedCodesForLoadTests) {
  TSimProcess Child({"--pre-approved-codes", "bench-"});
  const auto Lines = ReadLines(Child.Out(), 2);
  ASSERT_EQ(Lines.size(), 2u);
  {
    TPointedAt Pointed(Lines);
    std::string Body;
    Https_Post(ProviderHost(phGoogleAccounts), "/o/oauth2/token",
               "Content-Type: application/x-www-form-urlencoded", ExchangeBody("bench-1"), Body);
    EXPECT_NE(Body.find("\"access_token\""), std::string::npos) << Body;
    Https_Post(ProviderHost(phGoogleAccounts), "/o/oauth2/token",
               "Content-Type: application/x-www-form-urlencoded", ExchangeBody("bench-1"), Body);
    EXPECT_NE(Body.find("Code was already redeemed."), std::string::npos) << Body;
    Https_Post(ProviderHost(phGoogleAccounts), "/o/oauth2/token",
               "Content-Type: application/x-www-form-urlencoded", ExchangeBody("other-1"), Body);
    EXPECT_NE(Body.find("\"invalid_grant\""), std::string::npos) << Body;
  }
  const int Status = Child.Stop();
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "status " << Status;
  // People are told the switch is on.
  EXPECT_NE(ReadAll(Child.Err()).find("takes every code that starts with \"bench-\" once"),
            std::string::npos);
}

// An application outside the simulator's process (behind a balancer, say) signs in with X's
// current API once its callback is registered; any other callback stays refused.
TEST(ZelkSimExecutable, AllowedCallbacksLetAnOutsideApplicationSignInWithX) {
  TSimProcess Child(
      {"--allow-callback", "http://127.0.0.1:8000/", "--allow-callback", "https://shop.example/"});
  const auto Lines = ReadLines(Child.Out(), 2);
  ASSERT_EQ(Lines.size(), 2u);
  {
    TPointedAt Pointed(Lines);
    TZIWAuthServerController Controller(nullptr);
    for (const auto& [URL, Allowed] :
         {std::pair{"http://127.0.0.1:8000", true}, std::pair{"https://shop.example", true},
          std::pair{"http://127.0.0.1:8001", false}}) {
      SCOPED_TRACE(URL);
      IWTwitterAuthClient::TZIWTwitterAuthClient Client(nullptr);
      Client.SetApi(apCurrent);
      Client.App()->SetID(sim::TwitterSim::kDefaultConsumerKey);
      Client.App()->SetSecret(sim::TwitterSim::kDefaultConsumerSecret);
      Client.SetServerController(&Controller);
      const auto App = testing::MakeApplication(URL);
      Client.Login(App.get());
      EXPECT_EQ(!App->RedirectURL().empty(), Allowed) << Client.LoginError();
      if (!Allowed) {
        EXPECT_NE(Client.LoginError(), "");
      }
    }
  }
  Child.Stop();
  EXPECT_NE(ReadAll(Child.Err()).find("X's app takes the callback http://127.0.0.1:8000/"),
            std::string::npos);
}

TEST(ZelkSimExecutable, RefusesBadArgumentsWithTheReason) {
  const struct {
    std::vector<std::string> Args;
    const char* Message;
  } Cases[] = {
      {{"--pre-approved-codes", ""}, "--pre-approved-codes needs a prefix that is not empty"},
      {{"--pre-approved-codes"}, "--pre-approved-codes needs a value"},
      {{"--ca-file"}, "--ca-file needs a value"},
      {{"--pre-approved"}, "unknown argument \"--pre-approved\""},
      {{"--allow-callback", "127.0.0.1:8000/"},
       "--allow-callback needs an http:// or https:// address, not \"127.0.0.1:8000/\""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Message);
    TSimProcess Child(C.Args);
    const std::string Out = ReadAll(Child.Out());
    const std::string Err = ReadAll(Child.Err());
    const int Status = Child.Wait();
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 2) << "status " << Status;
    EXPECT_EQ(Out, "") << "nothing a shell would export";
    EXPECT_NE(Err.find(std::string("zelk-sim: ") + C.Message), std::string::npos) << Err;
    EXPECT_NE(Err.find("Usage: zelk-sim"), std::string::npos) << Err;
  }
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
