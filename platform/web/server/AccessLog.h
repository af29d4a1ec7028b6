// The web server's access log: one line per answered request in the combined log format, the
// query string and the referrer with their secrets and flow identifiers redacted.
#pragma once

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

namespace zelk::web {

struct TAccessLogEntry {
  std::string RemoteAddress;
  std::chrono::system_clock::time_point Time;
  std::string Method;
  std::string Target;   // path and query, as sent
  std::string Version;  // "HTTP/1.1"
  int Status = 0;
  std::size_t Bytes = 0;  // the body's size
  std::string Referer;
  std::string UserAgent;
};

// host - - [day/Mon/year:hh:mm:ss +0000] "METHOD target VERSION" status bytes "referer" "agent"
// The time is in UTC; a body of no bytes is "-", as are an empty referrer and agent. Quotes,
// backslashes and control characters in the quoted fields are escaped.
std::string FormatAccessLogLine(const TAccessLogEntry& Entry);

// Appends lines to a file, one request at a time.
class TAccessLog {
 public:
  // Opens Path for appending; raises Exception when it cannot be opened.
  explicit TAccessLog(const std::string& Path);
  void Record(const TAccessLogEntry& Entry);

 private:
  std::mutex FMutex;
  std::ofstream FFile;
};

}  // namespace zelk::web
