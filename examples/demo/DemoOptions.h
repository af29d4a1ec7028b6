// The command line of zelk-demo.
#pragma once

#include <string>

namespace zelk::demo {

struct TDemoOptions {
  int Port = 8080;  // 0 picks a free port
  std::string BindAddress = "127.0.0.1";
  // Talk to the real providers instead of starting the simulator.
  bool Live = false;
  // The form file declaring the session's components; empty: the demo's own demo-form.json.
  std::string FormFile;
  // How long an idle kept-alive connection stays open, in seconds; 0: the server's default.
  // Benchmarks that hold many idle connections set it longer than their run.
  int KeepAliveSeconds = 0;
  // Connections open at once from one address; 0: the server's default. Load tests that open
  // hundreds of connections from one address raise it.
  int MaxConnectionsPerAddress = 0;
  // Print the redacted trace of every provider call and flow step to standard error.
  bool Trace = false;
  // The server's access log file; empty: none.
  std::string AccessLogFile;
  // New sessions one address may start per minute; -1: the server's default, 0: no limit.
  // Load tests whose browsers all come from one address lift it.
  int MaxNewSessionsPerMinute = -1;
  // Sessions held at once; 0: the server's default. Load runs that sign in more users than
  // that within a session's lifetime raise it.
  int MaxSessions = 0;
  // Seconds SIGTERM waits for the flows in progress before the demo exits; -1: the server's
  // default.
  int DrainTimeoutSeconds = -1;
  // The application's URL as browsers reach it through a proxy or load balancer; empty: worked
  // out from each request.
  std::string PublicBaseURL;
  // Where sessions live between requests ("redis://host:port"), shared by every instance;
  // empty: in this process only. SessionKeyFile goes with it.
  std::string SessionStore;
  std::string SessionKeyFile;
  bool Help = false;
};

extern const char* const kDemoUsage;

// Reads the arguments after the program's name. Raises rtl::Exception naming the bad argument.
TDemoOptions ParseDemoOptions(int Argc, const char* const* Argv);

}  // namespace zelk::demo
