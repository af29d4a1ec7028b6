#include "support/RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

extern char** environ;

namespace zelk::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kStartWithin{10};
constexpr std::chrono::seconds kAnswerWithin{5};

// A port nobody listens on right now: bound with port 0, read back and released.
int FreeLoopbackPort() {
  TUniqueFd S(::socket(AF_INET, SOCK_STREAM, 0));
  if (S.Get() < 0) throw std::runtime_error("socket failed");
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = 0;
  socklen_t Len = sizeof A;
  if (::bind(S.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      ::getsockname(S.Get(), reinterpret_cast<sockaddr*>(&A), &Len) != 0)
    throw std::runtime_error(std::string("cannot find a free port: ") + std::strerror(errno));
  return ntohs(A.sin_port);
}

TUniqueFd ConnectLoopback(int Port) {
  TUniqueFd S(::socket(AF_INET, SOCK_STREAM, 0));
  if (S.Get() < 0) return {};
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(static_cast<uint16_t>(Port));
  if (::connect(S.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) return {};
  timeval Tv{static_cast<time_t>(kAnswerWithin.count()), 0};
  ::setsockopt(S.Get(), SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof Tv);
  ::setsockopt(S.Get(), SOL_SOCKET, SO_SNDTIMEO, &Tv, sizeof Tv);
  return S;
}

std::string Encode(const std::vector<std::string>& Args) {
  std::string Out = "*" + std::to_string(Args.size()) + "\r\n";
  for (const auto& A : Args)
    Out += "$" + std::to_string(A.size()) + "\r\n" + A + "\r\n";
  return Out;
}

// Parses one reply of Buffer from Pos into Out; none while it is incomplete.
std::optional<std::string> ParseReply(const std::string& Buffer, std::size_t& Pos) {
  const auto LineEnd = Buffer.find("\r\n", Pos);
  if (LineEnd == std::string::npos || Pos >= Buffer.size()) return std::nullopt;
  const char Type = Buffer[Pos];
  const std::string Line = Buffer.substr(Pos + 1, LineEnd - Pos - 1);
  std::size_t Next = LineEnd + 2;
  std::string Out;
  switch (Type) {
    case '+':
    case ':':
      Out = Line;
      break;
    case '-':
      Out = "-" + Line;
      break;
    case '$': {
      const long Size = std::stol(Line);
      if (Size < 0) {
        Out = "(nil)";
        break;
      }
      if (Buffer.size() < Next + static_cast<std::size_t>(Size) + 2) return std::nullopt;
      Out = Buffer.substr(Next, static_cast<std::size_t>(Size));
      Next += static_cast<std::size_t>(Size) + 2;
      break;
    }
    case '*': {
      const long Count = std::stol(Line);
      if (Count < 0) {
        Out = "(nil)";
        break;
      }
      for (long I = 0; I < Count; ++I) {
        auto Element = ParseReply(Buffer, Next);
        if (!Element) return std::nullopt;
        Out += (I ? "\n" : "") + *Element;
      }
      break;
    }
    default:
      throw std::runtime_error("redis-server answered something that is not RESP");
  }
  Pos = Next;
  return Out;
}

// Sends Request and reads Count replies; none when the connection fails or stays silent.
std::optional<std::vector<std::string>> Exchange(int Port, const std::string& Request,
                                                 std::size_t Count) {
  auto S = ConnectLoopback(Port);
  if (S.Get() < 0) return std::nullopt;
  if (::send(S.Get(), Request.data(), Request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(Request.size()))
    return std::nullopt;
  std::string Buffer;
  std::vector<std::string> Replies;
  std::size_t Pos = 0;
  char Chunk[4096];
  while (Replies.size() < Count) {
    if (auto R = ParseReply(Buffer, Pos)) {
      Replies.push_back(std::move(*R));
      continue;
    }
    const ssize_t N = ::recv(S.Get(), Chunk, sizeof Chunk, 0);
    if (N <= 0) return std::nullopt;
    Buffer.append(Chunk, static_cast<std::size_t>(N));
  }
  return Replies;
}

std::string PercentEncode(const std::string& S) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : S) {
    if (std::isalnum(C) || C == '-' || C == '_' || C == '.' || C == '~') {
      Out.push_back(static_cast<char>(C));
    } else {
      Out.push_back('%');
      Out.push_back(kHex[C >> 4]);
      Out.push_back(kHex[C & 15]);
    }
  }
  return Out;
}

}  // namespace

TRedisServer::TRedisServer(TOptions Options) : FOptions(std::move(Options)) {
  char Template[] = "/tmp/zelk-redis-XXXXXX";
  if (!::mkdtemp(Template))
    throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
  FDir = std::filesystem::canonical(Template).string();
  try {
    // Another process may take the free port between its release and the server's bind.
    for (int Attempt = 0; Attempt < 5; ++Attempt) {
      FPort = FreeLoopbackPort();
      if (Launch()) return;
    }
    throw std::runtime_error("redis-server lost the race for a free port five times:\n" + FOutText);
  } catch (...) {
    std::filesystem::remove_all(FDir);
    throw;
  }
}

TRedisServer::~TRedisServer() {
  if (FPid > 0) {
    ::kill(FPid, SIGKILL);
    Reap();
  }
  std::error_code Ignored;
  std::filesystem::remove_all(FDir, Ignored);
}

std::string TRedisServer::URL(bool WithPassword) const {
  std::string U = "redis://";
  if (WithPassword && !FOptions.Password.empty()) U += ":" + PercentEncode(FOptions.Password) + "@";
  return U + HostPort();
}

std::string TRedisServer::HostPort() const {
  return "127.0.0.1:" + std::to_string(FPort);
}

void TRedisServer::Stop() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGKILL);
  Reap();
}

void TRedisServer::Start() {
  if (FPid > 0) throw std::runtime_error("redis-server is running already");
  if (!Launch())
    throw std::runtime_error("redis-server cannot listen on port " + std::to_string(FPort) +
                             " again:\n" + FOutText);
}

void TRedisServer::Pause() {
  if (FPid > 0) ::kill(FPid, SIGSTOP);
}

void TRedisServer::Resume() {
  if (FPid > 0) ::kill(FPid, SIGCONT);
}

void TRedisServer::Reap() {
  ::waitpid(FPid, nullptr, 0);
  FPid = 0;
  // Whatever it printed last (the write end closed with it).
  char Chunk[4096];
  for (ssize_t N; FOutput.Get() >= 0 && (N = ::read(FOutput.Get(), Chunk, sizeof Chunk)) > 0;)
    FOutText.append(Chunk, static_cast<std::size_t>(N));
  FOutput.Reset();
}

bool TRedisServer::Launch() {
  FOutText.clear();
  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  FOutput = TUniqueFd(Pipe[0]);
  TUniqueFd Write(Pipe[1]);

  std::vector<std::string> Args{"redis-server",
                                "--port",
                                std::to_string(FPort),
                                "--bind",
                                "127.0.0.1",
                                "--save",
                                "",
                                "--appendonly",
                                "no",
                                "--dir",
                                FDir,
                                "--daemonize",
                                "no",
                                "--logfile",
                                ""};
  if (!FOptions.Password.empty()) {
    Args.push_back("--requirepass");
    Args.push_back(FOptions.Password);
  }
  std::vector<char*> Argv;
  for (auto& A : Args)
    Argv.push_back(A.data());
  Argv.push_back(nullptr);

  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Write.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Write.Get(), STDERR_FILENO);
  // Nothing else of this process (test servers' sockets, store connections) goes with it.
  posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
  // Signals as a fresh process has them, whatever the spawning thread blocks.
  posix_spawnattr_t Attributes;
  posix_spawnattr_init(&Attributes);
  sigset_t None;
  sigemptyset(&None);
  sigset_t PipeSignal;
  sigemptyset(&PipeSignal);
  sigaddset(&PipeSignal, SIGPIPE);
  posix_spawnattr_setsigmask(&Attributes, &None);
  posix_spawnattr_setsigdefault(&Attributes, &PipeSignal);
  posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int Spawned = ::posix_spawnp(&FPid, Argv[0], &Actions, &Attributes, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attributes);
  Write.Reset();  // the child's copies are the only writers now
  if (Spawned != 0) {
    FPid = 0;
    throw std::runtime_error(std::string("cannot start redis-server (") + std::strerror(Spawned) +
                             "); it comes with Debian's redis-server package (make deps)");
  }

  // Until it answers PING: woken by each line it prints, bounded by the deadline.
  const auto Deadline = Clock::now() + kStartWithin;
  for (;;) {
    // Another server may have taken the port first: only ours keeps its files in FDir.
    if (AnswersPing() && Command({"CONFIG", "GET", "dir"}).ends_with("\n" + FDir)) return true;
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
    if (Left.count() <= 0) {
      ::kill(FPid, SIGKILL);
      Reap();
      throw std::runtime_error("redis-server did not answer PING within 10 s:\n" + FOutText);
    }
    pollfd P{FOutput.Get(), POLLIN, 0};
    if (::poll(&P, 1, static_cast<int>(std::min<long long>(Left.count(), 100))) <= 0) continue;
    char Chunk[4096];
    const ssize_t N = ::read(FOutput.Get(), Chunk, sizeof Chunk);
    if (N > 0) {
      FOutText.append(Chunk, static_cast<std::size_t>(N));
      continue;
    }
    // Its output closed: it ended.
    Reap();
    if (FOutText.find("Address already in use") != std::string::npos) return false;
    throw std::runtime_error("redis-server ended at start:\n" + FOutText);
  }
}

bool TRedisServer::AnswersPing() const {
  const auto Replies = Exchange(FPort, Encode({"PING"}), 1);
  // With a password, an unauthenticated PING is refused, by a server that is up.
  return Replies && ((*Replies)[0] == "PONG" || (*Replies)[0].starts_with("-NOAUTH"));
}

std::string TRedisServer::Command(const std::vector<std::string>& Args) const {
  std::string Request;
  std::size_t Count = 1;
  if (!FOptions.Password.empty()) {
    Request = Encode({"AUTH", FOptions.Password});
    Count = 2;
  }
  Request += Encode(Args);
  const auto Replies = Exchange(FPort, Request, Count);
  if (!Replies)
    throw std::runtime_error("redis-server on port " + std::to_string(FPort) + " did not answer " +
                             Args.front());
  return Replies->back();
}

}  // namespace zelk::testing
