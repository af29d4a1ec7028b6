// The zelk-sim executable: one command starts it, it prints the settings that point a process
// at it, serves until SIGTERM and then cleans up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "core/IWZelkAuthBase.h"
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

TEST(ZelkSimExecutable, PrintsItsSettingsServesAndStopsOnSigterm) {
  int Pipe[2];
  ASSERT_EQ(::pipe(Pipe), 0);
  testing::TUniqueFd ReadEnd(Pipe[0]);
  testing::TUniqueFd WriteEnd(Pipe[1]);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, WriteEnd.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&Actions, ReadEnd.Get());
  char Program[] = ZELK_SIM_EXECUTABLE;
  char* Argv[] = {Program, nullptr};
  pid_t Child = 0;
  const int Spawned = posix_spawn(&Child, Program, &Actions, nullptr, Argv, environ);
  posix_spawn_file_actions_destroy(&Actions);
  ASSERT_EQ(Spawned, 0) << "cannot start " << Program;
  WriteEnd.Reset();  // the child's copy is the only writer now

  const auto Lines = ReadLines(ReadEnd.Get(), 2);
  ASSERT_EQ(Lines.size(), 2u);
  ASSERT_TRUE(Lines[0].starts_with("ZELK_PROVIDER_HOSTS=facebook.web=127.0.0.1:")) << Lines[0];
  ASSERT_TRUE(Lines[1].starts_with("ZELK_EXTRA_CA_CERTIFICATES=")) << Lines[1];
  const std::string CAFile = Lines[1].substr(Lines[1].find('=') + 1);
  EXPECT_TRUE(std::filesystem::exists(CAFile));

  // Point this process at it with exactly what it printed.
  const auto Saved = TransportSettings();
  SetProviderHosts(Lines[0].substr(Lines[0].find('=') + 1));
  auto S = Saved;
  S.ExtraCACertificates = CAFile;
  SetTransportSettings(S);
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
  ResetProviderHosts();
  SetTransportSettings(Saved);

  ASSERT_EQ(::kill(Child, SIGTERM), 0);
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "status " << Status;
  EXPECT_FALSE(std::filesystem::exists(CAFile)) << "the CA file it made is removed at exit";
}

}  // namespace
}  // namespace zelk::IWZelkAuthBase
