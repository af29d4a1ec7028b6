// A redis-server of the test's own: started on a free loopback port with nothing saved to disk
// (--save "" --appendonly no) and its files in a temporary directory, optionally with a
// password; stopped and started again on the same port (a restart as the store sees it),
// paused (SIGSTOP: connections are accepted, nothing is answered) and resumed; killed when it
// goes. Plain RESP over a socket, no client library: the session store's hiredis stays its own.
//
// Every wait is bounded: starting waits until the server answers PING, polling its output with
// a deadline. Failures raise std::runtime_error with what the server printed. Usable from one
// thread at a time; no test framework needed (the benchmarks use it too).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/UniqueFd.h"

namespace zelk::testing {

class TRedisServer {
 public:
  struct TOptions {
    std::string Password;  // --requirepass when not empty
  };

  // Starts the server; on a lost race for the free port, again on another one.
  explicit TRedisServer(TOptions Options = {});
  ~TRedisServer();
  TRedisServer(const TRedisServer&) = delete;
  TRedisServer& operator=(const TRedisServer&) = delete;

  int Port() const { return FPort; }
  // "redis://127.0.0.1:<port>", with the password (percent-encoded) when WithPassword.
  std::string URL(bool WithPassword = true) const;
  // "127.0.0.1:<port>", as the store names it in messages.
  std::string HostPort() const;

  // Kills the server (SIGKILL) and waits for it to end.
  void Stop();
  // Starts it again on the same port, empty; waits until it answers.
  void Start();
  // SIGSTOP and SIGCONT.
  void Pause();
  void Resume();

  // Sends one command (AUTH first when the server has a password) and returns its answer:
  // a status or bulk string as is, an integer in decimal, nil as "(nil)", an error as "-ERR ..."
  // and an array as its elements joined by '\n'. For tests that look at what the store wrote.
  std::string Command(const std::vector<std::string>& Args) const;

 private:
  TOptions FOptions;
  int FPort = 0;
  pid_t FPid = 0;
  std::string FDir;
  TUniqueFd FOutput;     // the server's standard output and error
  std::string FOutText;  // what it printed so far

  // Starts the server on FPort: true once it answers, false when it ended because the port
  // was taken; raises for any other failure.
  bool Launch();
  bool AnswersPing() const;
  void Reap();
};

}  // namespace zelk::testing
