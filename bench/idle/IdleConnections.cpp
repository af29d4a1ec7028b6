// What idle and slow connections cost a running server, and whether a new browser still gets
// through them:
//
//   zelk_bench_idle URL SERVER_PID [IDLE [TRICKLING [PROBES]]]     (10000 200 100)
//
// URL is a page of the server ("http://127.0.0.1:8080/"). The tool
//  1. asks for the page once and keeps the session cookie it is given, so that the idle
//     connections below share one session and what they add is the connections' own cost;
//  2. reads the server's VmRSS (/proc/SERVER_PID/status);
//  3. opens IDLE connections, each asks for the page once (with that cookie) and then stays
//     open without a byte more: kept alive;
//  4. opens TRICKLING connections that send the start of a head and then one byte every 500 ms,
//     never finishing it (a thread keeps them going until the end);
//  5. reads VmRSS again: the growth divided by the connections open is the memory each costs;
//  6. sends PROBES requests one after another, each on a new connection without a cookie (a
//     new browser), and reports their p50 and p99 latency (connect to complete answer);
//  7. reports how many idle and trickling connections are still open.
// The connections come from 127.0.1.1, 127.0.1.2, ... (100 per address), so that a per-address
// cap does not refuse them; the probes from 127.0.0.1. Every phase is bounded in time (opening
// at most 120 s, each probe at most 10 s, all probes at most 60 s). RLIMIT_NOFILE is raised to its
// hard limit; the server needs as many descriptors (run it under `ulimit -n` of at least IDLE +
// TRICKLING + 100).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct TTarget {
  std::string Host;
  int Port = 0;
  std::string Path;
};

std::optional<TTarget> ParseURL(const std::string& URL) {
  const std::string Scheme = "http://";
  if (!URL.starts_with(Scheme)) return std::nullopt;
  const auto Slash = URL.find('/', Scheme.size());
  const std::string Authority = URL.substr(Scheme.size(), Slash - Scheme.size());
  const auto Colon = Authority.rfind(':');
  if (Colon == std::string::npos) return std::nullopt;
  TTarget T;
  T.Host = Authority.substr(0, Colon);
  T.Port = std::atoi(Authority.c_str() + Colon + 1);
  T.Path = Slash == std::string::npos ? "/" : URL.substr(Slash);
  if (T.Port <= 0 || T.Port > 65535) return std::nullopt;
  return T;
}

// The VmRSS of a process in bytes, or -1.
long long ResidentBytes(int Pid) {
  std::ifstream In("/proc/" + std::to_string(Pid) + "/status");
  for (std::string Line; std::getline(In, Line);)
    if (Line.starts_with("VmRSS:")) return std::atoll(Line.c_str() + 6) * 1024;
  return -1;
}

// The source address of the I-th connection: 100 a piece from 127.0.1.1 on.
std::string SourceAddress(std::size_t I) {
  const std::size_t K = I / 100;
  return "127." + std::to_string(K / 62500) + "." + std::to_string(1 + K / 250 % 250) + "." +
         std::to_string(1 + K % 250);
}

// A non-blocking socket connected to the target from Source ("" for any), or -1.
int Connect(const TTarget& T, const std::string& Source, std::chrono::milliseconds Within) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  const int Yes = 1;
  ::setsockopt(Fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &Yes, sizeof Yes);
  if (!Source.empty()) {
    sockaddr_in S{};
    S.sin_family = AF_INET;
    ::inet_pton(AF_INET, Source.c_str(), &S.sin_addr);
    if (::bind(Fd, reinterpret_cast<sockaddr*>(&S), sizeof S) != 0) {
      ::close(Fd);
      return -1;
    }
  }
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<std::uint16_t>(T.Port));
  if (::inet_pton(AF_INET, T.Host.c_str(), &A.sin_addr) != 1) {
    ::close(Fd);
    return -1;
  }
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    pollfd P{Fd, POLLOUT, 0};
    int Error = 0;
    socklen_t Size = sizeof Error;
    if (errno != EINPROGRESS || ::poll(&P, 1, static_cast<int>(Within.count())) != 1 ||
        ::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Size) != 0 || Error != 0) {
      ::close(Fd);
      return -1;
    }
  }
  ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &Yes, sizeof Yes);
  return Fd;
}

bool SendAll(int Fd, const std::string& Bytes) {
  // Requests are small: the socket's buffer takes them at once.
  return ::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(Bytes.size());
}

// Whether Bytes holds one complete answer (framed by Content-Length or chunked).
bool CompleteAnswer(const std::string& Bytes) {
  const auto End = Bytes.find("\r\n\r\n");
  if (End == std::string::npos) return false;
  std::string Head = Bytes.substr(0, End + 2);
  std::transform(Head.begin(), Head.end(), Head.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  if (Head.find("\r\ntransfer-encoding: chunked") != std::string::npos)
    return Bytes.find("\r\n0\r\n\r\n", End) != std::string::npos;
  const auto Length = Head.find("\r\ncontent-length:");
  const std::size_t Body =
      Length == std::string::npos ? 0 : std::strtoull(Head.c_str() + Length + 17, nullptr, 10);
  return Bytes.size() >= End + 4 + Body;
}

// Reads what is waiting on Fd into Into; false once the peer closed or failed.
bool ReadSome(int Fd, std::string& Into) {
  char Buffer[16384];
  for (;;) {
    const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, MSG_DONTWAIT);
    if (N > 0) {
      Into.append(Buffer, static_cast<std::size_t>(N));
      continue;
    }
    if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (N < 0 && errno == EINTR) continue;
    return false;
  }
}

std::string Request(const TTarget& T, const std::string& Cookie) {
  return "GET " + T.Path + " HTTP/1.1\r\nHost: " + T.Host + ":" + std::to_string(T.Port) +
         "\r\nUser-Agent: zelk-bench-idle\r\nAccept: text/html\r\n" +
         (Cookie.empty() ? "" : "Cookie: " + Cookie + "\r\n") + "\r\n";
}

// Waits for an answer on each of Fds (all sent already) until Deadline; closes and drops the
// ones that failed or were not answered. Returns how many were answered.
std::size_t CollectAnswers(std::vector<int>& Fds, Clock::time_point Deadline) {
  std::vector<std::string> Got(Fds.size());
  std::vector<bool> Done(Fds.size(), false);
  std::size_t Answered = 0, Finished = 0;
  while (Finished < Fds.size() && Clock::now() < Deadline) {
    std::vector<pollfd> P;
    std::vector<std::size_t> Index;
    for (std::size_t I = 0; I < Fds.size(); ++I)
      if (!Done[I]) {
        P.push_back({Fds[I], POLLIN, 0});
        Index.push_back(I);
      }
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
    if (::poll(P.data(), P.size(), static_cast<int>(std::max<long long>(1, Left.count()))) <= 0)
      continue;
    for (std::size_t J = 0; J < P.size(); ++J) {
      if (P[J].revents == 0) continue;
      const std::size_t I = Index[J];
      const bool Open = ReadSome(Fds[I], Got[I]);
      if (CompleteAnswer(Got[I])) {
        Done[I] = true;
        ++Finished;
        if (Open && Got[I].starts_with("HTTP/1.1 200")) {
          ++Answered;
        } else {
          ::close(Fds[I]);
          Fds[I] = -1;
        }
      } else if (!Open) {
        Done[I] = true;
        ++Finished;
        ::close(Fds[I]);
        Fds[I] = -1;
      }
    }
  }
  for (std::size_t I = 0; I < Fds.size(); ++I)
    if (!Done[I] && Fds[I] >= 0) {
      ::close(Fds[I]);
      Fds[I] = -1;
    }
  std::erase(Fds, -1);
  return Answered;
}

// Whether a kept connection is still open (nothing arrived, no end, no error).
bool StillOpen(int Fd) {
  pollfd P{Fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&P, 1, 0) == 0;
}

std::size_t Count(const std::string& Text, std::size_t Default) {
  char* End = nullptr;
  const unsigned long long N = std::strtoull(Text.c_str(), &End, 10);
  if (End == Text.c_str() || *End != '\0') {
    std::cerr << "zelk_bench_idle: \"" << Text << "\" is not a count\n";
    std::exit(2);
  }
  return N == 0 ? Default : static_cast<std::size_t>(N);
}

double Percentile(std::vector<double> Values, double P) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const auto Rank =
      static_cast<std::size_t>(P / 100.0 * static_cast<double>(Values.size()) + 0.999999);
  return Values[std::clamp<std::size_t>(Rank, 1, Values.size()) - 1];
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc < 3 || Argc > 6) {
    std::cerr << "usage: zelk_bench_idle URL SERVER_PID [IDLE [TRICKLING [PROBES]]]\n";
    return 2;
  }
  const auto Target = ParseURL(Argv[1]);
  if (!Target) {
    std::cerr << "zelk_bench_idle: \"" << Argv[1] << "\" is not an http://HOST:PORT/ address\n";
    return 2;
  }
  const int Pid = std::atoi(Argv[2]);
  std::size_t Idle = Argc > 3 ? Count(Argv[3], 10000) : 10000;
  std::size_t Trickling = Argc > 4 ? Count(Argv[4], 200) : 200;
  const std::size_t Probes = Argc > 5 ? Count(Argv[5], 100) : 100;
  if (ResidentBytes(Pid) < 0) {
    std::cerr << "zelk_bench_idle: no process " << Pid << " to measure\n";
    return 2;
  }

  rlimit Files{};
  ::getrlimit(RLIMIT_NOFILE, &Files);
  Files.rlim_cur = Files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &Files);
  if (Files.rlim_cur < Idle + Trickling + 64) {
    std::cerr << "zelk_bench_idle: only " << Files.rlim_cur
              << " descriptors allowed; fewer idle connections\n";
    Idle = Files.rlim_cur > Trickling + 64 ? Files.rlim_cur - Trickling - 64 : 0;
  }

  // 1. The session the idle connections share.
  std::string Cookie;
  {
    std::vector<int> First{Connect(*Target, "", 5s)};
    if (First[0] < 0 || !SendAll(First[0], Request(*Target, ""))) {
      std::cerr << "zelk_bench_idle: cannot reach " << Argv[1] << "\n";
      return 1;
    }
    std::string Answer;
    const auto Deadline = Clock::now() + 10s;
    while (!CompleteAnswer(Answer) && Clock::now() < Deadline) {
      pollfd P{First[0], POLLIN, 0};
      ::poll(&P, 1, 100);
      if (!ReadSome(First[0], Answer)) break;
    }
    ::close(First[0]);
    const auto P = Answer.find("\r\nSet-Cookie: ");
    if (P != std::string::npos)
      Cookie = Answer.substr(P + 14, Answer.find_first_of(";\r", P + 14) - P - 14);
    std::cout << "session cookie: "
              << (Cookie.empty() ? "none (each idle request may make a session)" : Cookie) << "\n";
  }

  // 2.
  const long long Before = ResidentBytes(Pid);

  // 3. Idle connections, in batches of 500.
  const auto OpenStart = Clock::now();
  const auto OpenLimit = OpenStart + 120s;
  std::vector<int> IdleFds;
  std::size_t ConnectFailures = 0;
  for (std::size_t Next = 0; Next < Idle && Clock::now() < OpenLimit;) {
    std::vector<int> Batch;
    for (; Next < Idle && Batch.size() < 500; ++Next) {
      const int Fd = Connect(*Target, SourceAddress(Next), 5s);
      if (Fd < 0 || !SendAll(Fd, Request(*Target, Cookie))) {
        if (Fd >= 0) ::close(Fd);
        ++ConnectFailures;
        continue;
      }
      Batch.push_back(Fd);
    }
    CollectAnswers(Batch, std::min(OpenLimit, Clock::now() + 30s));
    IdleFds.insert(IdleFds.end(), Batch.begin(), Batch.end());
  }
  const double OpenSeconds = std::chrono::duration<double>(Clock::now() - OpenStart).count();
  std::cout << "idle: " << IdleFds.size() << " of " << Idle << " open and answered in "
            << OpenSeconds << " s (" << ConnectFailures << " could not connect)\n";

  // 4. Trickling connections.
  const std::string Start =
      "GET " + Target->Path + " HTTP/1.1\r\nHost: " + Target->Host + "\r\nX-Trickle: ";
  std::vector<int> SlowFds;
  for (std::size_t I = 0; I < Trickling; ++I) {
    const int Fd = Connect(*Target, SourceAddress(Idle + I), 5s);
    if (Fd < 0) continue;
    if (!SendAll(Fd, Start)) {
      ::close(Fd);
      continue;
    }
    SlowFds.push_back(Fd);
  }
  std::atomic<bool> Stop{false};
  std::mutex SlowMutex;
  std::vector<bool> SlowOpen(SlowFds.size(), true);
  std::thread Trickle([&] {
    while (!Stop) {
      {
        std::lock_guard L(SlowMutex);
        for (std::size_t I = 0; I < SlowFds.size(); ++I)
          if (SlowOpen[I] && ::send(SlowFds[I], "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
              errno != EAGAIN)
            SlowOpen[I] = false;
      }
      for (int I = 0; I < 10 && !Stop; ++I)
        std::this_thread::sleep_for(50ms);
    }
  });

  // 5. What the open connections cost.
  std::this_thread::sleep_for(500ms);  // the trickling heads have reached the server
  const long long WithConnections = ResidentBytes(Pid);
  const std::size_t Open = IdleFds.size() + SlowFds.size();
  std::cout << "server VmRSS: " << Before / 1024 << " KiB before, " << WithConnections / 1024
            << " KiB with " << IdleFds.size() << " idle and " << SlowFds.size()
            << " trickling connections\n";
  if (Open > 0)
    std::cout << "rss_per_connection_bytes "
              << (WithConnections - Before) / static_cast<long long>(Open) << "\n";

  // 6. Probes, one at a time, each a new browser.
  std::vector<double> Latencies;
  std::size_t ProbeFailures = 0;
  const std::string ProbeRequest = Request(*Target, "");
  const auto ProbesLimit = Clock::now() + 60s;
  std::size_t Sent = 0;
  for (; Sent < Probes && Clock::now() < ProbesLimit; ++Sent) {
    const auto T0 = Clock::now();
    const auto Deadline = T0 + 10s;
    const int Fd = Connect(*Target, "127.0.0.1", 10s);
    bool Ok = false;
    if (Fd >= 0 && SendAll(Fd, ProbeRequest)) {
      std::string Answer;
      while (!CompleteAnswer(Answer) && Clock::now() < Deadline) {
        pollfd P{Fd, POLLIN, 0};
        ::poll(&P, 1, 100);
        if (!ReadSome(Fd, Answer)) break;
      }
      Ok = CompleteAnswer(Answer) && Answer.starts_with("HTTP/1.1 200");
    }
    if (Fd >= 0) ::close(Fd);
    if (!Ok) ++ProbeFailures;
    Latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - T0).count());
  }
  // Probes not sent within the phase's minute count as failed, not in the percentiles.
  ProbeFailures += Probes - Sent;
  std::printf("probes: %zu (%zu sent), failed %zu, p50_ms %.2f, p99_ms %.2f, max_ms %.2f\n", Probes,
              Sent, ProbeFailures, Percentile(Latencies, 50), Percentile(Latencies, 99),
              Percentile(Latencies, 100));
  std::printf("probe_p50_ms %.2f\nprobe_p99_ms %.2f\n", Percentile(Latencies, 50),
              Percentile(Latencies, 99));

  // 7. What is still open.
  Stop = true;
  Trickle.join();
  const auto IdleLeft = std::count_if(IdleFds.begin(), IdleFds.end(), StillOpen);
  std::size_t SlowLeft = 0;
  for (std::size_t I = 0; I < SlowFds.size(); ++I)
    if (SlowOpen[I] && StillOpen(SlowFds[I])) ++SlowLeft;
  std::cout << "still open after the probes: " << IdleLeft << " of " << IdleFds.size() << " idle, "
            << SlowLeft << " of " << SlowFds.size() << " trickling\n";
  std::cout << "server VmRSS after the probes: " << ResidentBytes(Pid) / 1024 << " KiB\n";
  for (const int Fd : IdleFds)
    ::close(Fd);
  for (const int Fd : SlowFds)
    ::close(Fd);
  return ProbeFailures == 0 ? 0 : 1;
}
