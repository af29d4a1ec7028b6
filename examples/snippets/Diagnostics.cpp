// Diagnostics: the redacted trace routed into the application's own log, the access log, and
// the per-provider counters.
#include <iostream>

#include "core/Trace.h"
#include "examples/snippets/Snippets.h"
#include "platform/web/server/IWServer.h"

namespace zelk::snippets {

void SetUpDiagnostics(web::TIWServerOptions& Options) {
  // [readme:diagnostics]
  // Every provider call and flow step, secrets replaced by "[redacted]", into your own log.
  IWZelkAuthBase::SetTraceSink(
      [](const std::string& Line) { std::clog << "sign-in trace: " << Line << '\n'; });
  // One line per request in the combined log format; codes, state and tokens redacted.
  Options.AccessLog = "/var/log/shop/access.log";
  // Flows started, succeeded, failed and denied, transport errors and call latencies.
  for (const auto& [Provider, C] : IWZelkAuthBase::ProviderCounters())
    std::clog << Provider << ": " << C.FlowsFailed << " of " << C.FlowsStarted << " failed\n";
  // [/readme]
}

}  // namespace zelk::snippets
