// The access log's line format and file.
#include "platform/web/server/AccessLog.h"

#include <array>
#include <ctime>

#include "platform/rtl/SysUtils.h"
#include "platform/web/LogText.h"

namespace zelk::web {

namespace {

// The path as sent, the query with its secrets and flow identifiers redacted.
std::string RedactedTarget(std::string_view Target) {
  const auto Mark = Target.find('?');
  if (Mark == std::string_view::npos) return std::string(Target);
  return std::string(Target.substr(0, Mark + 1)) + RedactQueryString(Target.substr(Mark + 1));
}

std::string OrDash(const std::string& Text) {
  return Text.empty() ? "-" : EscapeLogText(Text);
}

}  // namespace

std::string FormatAccessLogLine(const TAccessLogEntry& Entry) {
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t T = std::chrono::system_clock::to_time_t(Entry.Time);
  std::tm Utc{};
  gmtime_r(&T, &Utc);
  const auto Two = [](int V) {
    return std::string(1, static_cast<char>('0' + V / 10 % 10)) + static_cast<char>('0' + V % 10);
  };
  const std::string Time = Two(Utc.tm_mday) + "/" +
                           kMonths[static_cast<std::size_t>(Utc.tm_mon) % 12] + "/" +
                           std::to_string(Utc.tm_year + 1900) + ":" + Two(Utc.tm_hour) + ":" +
                           Two(Utc.tm_min) + ":" + Two(Utc.tm_sec) + " +0000";
  std::string Line = (Entry.RemoteAddress.empty() ? "-" : EscapeLogText(Entry.RemoteAddress));
  Line += " - - [";
  Line += Time;
  Line += "] \"" + EscapeLogText(Entry.Method) + " " + EscapeLogText(RedactedTarget(Entry.Target)) +
          " " + EscapeLogText(Entry.Version) + "\" " + std::to_string(Entry.Status) + " " +
          (Entry.Bytes == 0 ? std::string("-") : std::to_string(Entry.Bytes)) + " \"" +
          OrDash(Entry.Referer.empty() ? Entry.Referer : RedactedTarget(Entry.Referer)) + "\" \"" +
          OrDash(Entry.UserAgent) + "\"";
  return Line;
}

TAccessLog::TAccessLog(const std::string& Path) : FFile(Path, std::ios::app | std::ios::binary) {
  if (!FFile) throw rtl::Exception("Cannot open the access log \"" + Path + "\" for appending");
}

void TAccessLog::Record(const TAccessLogEntry& Entry) {
  const std::string Line = FormatAccessLogLine(Entry);
  std::lock_guard L(FMutex);
  FFile << Line << '\n';
  FFile.flush();
}

}  // namespace zelk::web
