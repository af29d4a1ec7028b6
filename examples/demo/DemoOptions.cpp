#include "DemoOptions.h"

#include <charconv>
#include <string_view>

#include "platform/rtl/SysUtils.h"

namespace zelk::demo {

const char* const kDemoUsage =
    "Usage: zelk-demo [--port N] [--bind ADDRESS] [--live --form FILE] [--keep-alive-timeout S]\n"
    "                 [--max-connections-per-address N] [--max-new-sessions-per-minute N]\n"
    "                 [--max-sessions N] [--trace] [--access-log FILE] [--drain-timeout S]\n"
    "                 [--public-base-url URL] [--session-store URL --session-key-file FILE]\n"
    "Serves a web application that signs in with Google, Facebook, Windows Live and Twitter,\n"
    "posts to Facebook and Twitter, and takes PayPal payments.\n"
    "  --port N        port to listen on (default 8080; 0 picks a free one)\n"
    "  --bind ADDRESS  address to listen on (default 127.0.0.1)\n"
    "  --live          use the real providers instead of the built-in simulator\n"
    "  --form FILE     form file with the components and their credentials (default: the\n"
    "                  demo's own demo-form.json); --live needs one with real credentials\n"
    "  --keep-alive-timeout S\n"
    "                  seconds an idle kept-alive connection stays open (1 to 3600; default:\n"
    "                  the server's)\n"
    "  --max-connections-per-address N\n"
    "                  connections open at once from one address (1 to 20000; default: the\n"
    "                  server's)\n"
    "  --max-new-sessions-per-minute N\n"
    "                  new sessions one address may start per minute (0: no limit; default:\n"
    "                  the server's); behind a load balancer every browser comes from its\n"
    "                  address\n"
    "  --max-sessions N\n"
    "                  sessions held at once (1 to 10000000; default: the server's)\n"
    "  --trace         print the trace of every provider call and flow step, secrets\n"
    "                  redacted, to standard error\n"
    "  --access-log FILE\n"
    "                  append a line per request to FILE in the combined log format\n"
    "  --drain-timeout S\n"
    "                  on SIGTERM, stop taking new sessions (/healthz answers 503) and wait\n"
    "                  up to S seconds (0 to 3600; default 30) for the flows in progress to\n"
    "                  finish, then exit; SIGINT (Ctrl+C) exits at once\n"
    "  --public-base-url URL\n"
    "                  the demo's address as browsers reach it through a proxy or load\n"
    "                  balancer (e.g. https://shop.example); the providers send them back there\n"
    "  --session-store URL\n"
    "                  keep the sessions in Redis (redis://[:password@]host:port[/db]), so\n"
    "                  that a restart or another instance carries them on; default: in this\n"
    "                  process only\n"
    "  --session-key-file FILE\n"
    "                  the keys the stored sessions are sealed with: one key a line, an id,\n"
    "                  a blank and 64 hexadecimal digits (echo \"k1 $(openssl rand -hex 32)\");\n"
    "                  every instance gets the same file\n"
    "  --help          show this text\n";

namespace {

int ParsePort(std::string_view Text) {
  int Port = -1;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Port);
  if (Error != std::errc() || End != Text.data() + Text.size() || Port < 0 || Port > 65535)
    throw rtl::Exception("--port needs a number from 0 to 65535, not \"" + std::string(Text) +
                         "\"");
  return Port;
}

int ParseConnections(std::string_view Text) {
  int Count = -1;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Count);
  if (Error != std::errc() || End != Text.data() + Text.size() || Count < 1 || Count > 20000)
    throw rtl::Exception("--max-connections-per-address needs a number from 1 to 20000, not \"" +
                         std::string(Text) + "\"");
  return Count;
}

int ParseCount(std::string_view Option, std::string_view Text, int Min, int Max) {
  int Value = -1;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Error != std::errc() || End != Text.data() + Text.size() || Value < Min || Value > Max)
    throw rtl::Exception(std::string(Option) + " needs a number from " + std::to_string(Min) +
                         " to " + std::to_string(Max) + ", not \"" + std::string(Text) + "\"");
  return Value;
}

int ParseKeepAlive(std::string_view Text) {
  int Seconds = -1;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Seconds);
  if (Error != std::errc() || End != Text.data() + Text.size() || Seconds < 1 || Seconds > 3600)
    throw rtl::Exception("--keep-alive-timeout needs a number of seconds from 1 to 3600, not \"" +
                         std::string(Text) + "\"");
  return Seconds;
}

}  // namespace

TDemoOptions ParseDemoOptions(int Argc, const char* const* Argv) {
  TDemoOptions O;
  for (int I = 0; I < Argc; ++I) {
    const std::string_view A = Argv[I];
    auto Value = [&]() -> std::string {
      if (I + 1 >= Argc) throw rtl::Exception(std::string(A) + " needs a value");
      return Argv[++I];
    };
    if (A == "--port") {
      O.Port = ParsePort(Value());
    } else if (A == "--bind") {
      O.BindAddress = Value();
      if (O.BindAddress.empty()) throw rtl::Exception("--bind needs an address");
    } else if (A == "--live") {
      O.Live = true;
    } else if (A == "--form") {
      O.FormFile = Value();
      if (O.FormFile.empty()) throw rtl::Exception("--form needs a file name");
    } else if (A == "--keep-alive-timeout") {
      O.KeepAliveSeconds = ParseKeepAlive(Value());
    } else if (A == "--max-connections-per-address") {
      O.MaxConnectionsPerAddress = ParseConnections(Value());
    } else if (A == "--max-new-sessions-per-minute") {
      O.MaxNewSessionsPerMinute = ParseCount(A, Value(), 0, 1000000);
    } else if (A == "--max-sessions") {
      O.MaxSessions = ParseCount(A, Value(), 1, 10000000);
    } else if (A == "--trace") {
      O.Trace = true;
    } else if (A == "--access-log") {
      O.AccessLogFile = Value();
      if (O.AccessLogFile.empty()) throw rtl::Exception("--access-log needs a file name");
    } else if (A == "--drain-timeout") {
      O.DrainTimeoutSeconds = ParseCount(A, Value(), 0, 3600);
    } else if (A == "--public-base-url") {
      O.PublicBaseURL = Value();
      if (O.PublicBaseURL.empty()) throw rtl::Exception("--public-base-url needs an address");
    } else if (A == "--session-store") {
      O.SessionStore = Value();
      if (O.SessionStore.empty()) throw rtl::Exception("--session-store needs a redis:// address");
    } else if (A == "--session-key-file") {
      O.SessionKeyFile = Value();
      if (O.SessionKeyFile.empty()) throw rtl::Exception("--session-key-file needs a file name");
    } else if (A == "--help" || A == "-h") {
      O.Help = true;
    } else {
      throw rtl::Exception("unknown argument \"" + std::string(A) + "\"");
    }
  }
  if (!O.SessionStore.empty() && O.SessionKeyFile.empty())
    throw rtl::Exception(
        "--session-store needs --session-key-file FILE: the keys the stored sessions are "
        "sealed with (one key a line: an id, a blank, 64 hexadecimal digits)");
  if (O.Live && O.FormFile.empty())
    throw rtl::Exception(
        "--live needs --form FILE: a form file holding your applications' credentials at the "
        "real providers (start from a copy of demo-form.json)");
  return O;
}

}  // namespace zelk::demo
