// The redacted trace and the per-provider counters.
#include "core/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <utility>

namespace zelk::IWZelkAuthBase {

namespace {

struct TTraceState {
  std::mutex Mutex;
  TTraceSink Sink;
  bool EnvironmentRead = false;
  bool FromEnvironment = false;
};

TTraceState& State() {
  static TTraceState S;
  return S;
}

bool EnvironmentAsksTrace() {
  const char* V = std::getenv("ZELK_TRACE");  // NOLINT(concurrency-mt-unsafe): read under lock
  return V != nullptr && std::string_view(V) == "1";
}

// The sink in force: the application's, else standard error when the environment asks.
TTraceSink CurrentSink() {
  TTraceState& S = State();
  std::lock_guard L(S.Mutex);
  if (!S.EnvironmentRead) {
    S.EnvironmentRead = true;
    S.FromEnvironment = EnvironmentAsksTrace();
  }
  if (S.Sink) return S.Sink;
  if (S.FromEnvironment)
    return [](const std::string& Line) { std::cerr << "zelk trace: " << Line << '\n'; };
  return {};
}

// Serialises deliveries so that lines of concurrent flows never interleave.
std::mutex& DeliveryMutex() {
  static std::mutex M;
  return M;
}

struct TScope {
  std::string Provider, Flow, Step;
};
// Per thread, so no lock: the scope of the running flow and the last flow started.
thread_local TScope tScope;    // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
thread_local TScope tStarted;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

struct TCounterState {
  std::mutex Mutex;
  std::map<std::string, TProviderCounters> Counters;
};

TCounterState& Counters() {
  static TCounterState S;
  return S;
}

void AddField(std::string& Line, std::string_view Key, const std::string& Value) {
  if (Value.empty()) return;
  if (!Line.empty()) Line += ' ';
  Line += Key;
  Line += '=';
  // Escaped as the access log escapes: no line break, control byte or quote of the value
  // reaches the line as it is, so a provider's text can neither end the event nor add a
  // field to it. Values with blanks are quoted for the eye.
  const std::string Escaped = web::EscapeLogText(Value);
  const bool Quote = Escaped.find(' ') != std::string::npos;
  if (Quote) Line += '"';
  Line += Escaped;
  if (Quote) Line += '"';
}

// A redacted body for the line: cut after kMaxBodyShown bytes (a reply may be large).
constexpr std::size_t kMaxBodyShown = 4096;
std::string Shown(const std::string& Redacted) {
  if (Redacted.size() <= kMaxBodyShown) return Redacted;
  return Redacted.substr(0, kMaxBodyShown) + "... (" +
         std::to_string(Redacted.size() - kMaxBodyShown) + " more bytes)";
}

}  // namespace

void SetTraceSink(TTraceSink Sink) {
  TTraceState& S = State();
  std::lock_guard L(S.Mutex);
  S.Sink = std::move(Sink);
}

bool TraceEnabled() {
  return static_cast<bool>(CurrentSink());
}

std::string FormatTraceEvent(const TTraceEvent& Event) {
  std::string Line;
  AddField(Line, "flow", Event.Flow);
  AddField(Line, "provider", Event.Provider);
  AddField(Line, "step", Event.Step);
  AddField(Line, "method", Event.Method);
  AddField(Line, "host", Event.Host);
  AddField(Line, "path", RedactSecrets(Event.Path));
  AddField(Line, "headers", RedactSecrets(Event.Headers));
  AddField(Line, "redirect_uri", Event.RedirectURI);
  if (Event.Status != 0) AddField(Line, "status", std::to_string(Event.Status));
  if (Event.ElapsedMs >= 0) AddField(Line, "elapsed_ms", std::to_string(Event.ElapsedMs));
  // Redacted first, then cut: a secret cut in half would no longer be recognised.
  AddField(Line, "request", Shown(RedactSecrets(Event.Request)));
  AddField(Line, "reply", Shown(RedactSecrets(Event.Reply)));
  AddField(Line, "error", RedactSecrets(Event.Error));
  AddField(Line, "outcome", Event.Outcome);
  return Line;
}

void Trace(const TTraceEvent& Event) {
  const TTraceSink Sink = CurrentSink();
  if (!Sink) return;
  const std::string Line = FormatTraceEvent(Event);
  std::lock_guard L(DeliveryMutex());
  Sink(Line);
}

TTraceScope::TTraceScope(std::string Provider, std::string Flow, std::string Step)
    : FProvider(tScope.Provider), FFlow(tScope.Flow), FStep(tScope.Step) {
  if (!Provider.empty()) tScope.Provider = std::move(Provider);
  if (!Flow.empty()) tScope.Flow = std::move(Flow);
  if (!Step.empty()) tScope.Step = std::move(Step);
}

TTraceScope::~TTraceScope() {
  tScope.Provider = std::move(FProvider);
  tScope.Flow = std::move(FFlow);
  tScope.Step = std::move(FStep);
}

std::string TraceProvider() {
  return tScope.Provider;
}
std::string TraceFlow() {
  return tScope.Flow;
}
std::string TraceStep() {
  return tScope.Step;
}

void NoteFlowStarted(const std::string& Provider, const std::string& Flow) {
  tStarted.Provider = Provider;
  tStarted.Flow = Flow;
  CountFlowStarted(Provider);
  TTraceEvent Event;
  Event.Flow = Flow;
  Event.Provider = Provider;
  Event.Step = "flow started";
  Trace(Event);
}

std::string ProviderOfFlow(const std::string& Flow) {
  if (!Flow.empty() && Flow == tStarted.Flow) return tStarted.Provider;
  return tScope.Provider;
}

std::map<std::string, TProviderCounters> ProviderCounters() {
  std::lock_guard L(Counters().Mutex);
  return Counters().Counters;
}

void ResetProviderCounters() {
  std::lock_guard L(Counters().Mutex);
  Counters().Counters.clear();
}

void CountFlowStarted(const std::string& Provider) {
  std::lock_guard L(Counters().Mutex);
  ++Counters().Counters[Provider].FlowsStarted;
}

void CountOutcome(const std::string& Provider, bool Succeeded, bool Denied) {
  std::lock_guard L(Counters().Mutex);
  TProviderCounters& C = Counters().Counters[Provider];
  if (Succeeded) {
    ++C.FlowsSucceeded;
  } else if (Denied) {
    ++C.FlowsDenied;
  } else {
    ++C.FlowsFailed;
  }
}

void CountUnknownOutcome(const std::string& Provider) {
  std::lock_guard L(Counters().Mutex);
  ++Counters().Counters[Provider].FlowsUnknown;
}

void CountCall(const std::string& Provider, long ElapsedMs) {
  std::size_t Bucket = 0;
  while (Bucket < kLatencyBucketBoundsMs.size() && ElapsedMs > kLatencyBucketBoundsMs[Bucket])
    ++Bucket;
  std::lock_guard L(Counters().Mutex);
  TProviderCounters& C = Counters().Counters[Provider];
  ++C.Calls;
  ++C.LatencyBuckets[Bucket];
  C.CallMilliseconds += static_cast<std::uint64_t>(std::max(ElapsedMs, 0L));
}

std::string ProviderMetricsText() {
  const auto All = ProviderCounters();
  std::string Out;
  const auto Label = [](const std::string& Provider) {
    // Provider names are the library's own words; escaped all the same, as the format asks.
    std::string L = "provider=\"";
    for (const char C : Provider) {
      if (C == '\\' || C == '"') L += '\\';
      L += C == '\n' ? ' ' : C;
    }
    return L + "\"";
  };
  Out += "# HELP zelk_flows_started_total Sign-in and payment flows started.\n"
         "# TYPE zelk_flows_started_total counter\n";
  for (const auto& [P, C] : All)
    Out += "zelk_flows_started_total{" + Label(P) + "} " + std::to_string(C.FlowsStarted) + "\n";
  Out += "# HELP zelk_flows_total Flows that reached an outcome (ok, failed, denied by the user, "
         "unknown: the answer was lost).\n# TYPE zelk_flows_total counter\n";
  for (const auto& [P, C] : All)
    for (const auto& [Outcome, N] : {std::pair{"ok", C.FlowsSucceeded}, std::pair{"failed", C.FlowsFailed},
                                     std::pair{"denied", C.FlowsDenied},
                                     std::pair{"unknown", C.FlowsUnknown}})
      Out += "zelk_flows_total{" + Label(P) + ",outcome=\"" + Outcome + "\"} " + std::to_string(N) +
             "\n";
  Out += "# HELP zelk_provider_transport_errors_total Provider calls that failed in the "
         "transport.\n# TYPE zelk_provider_transport_errors_total counter\n";
  for (const auto& [P, C] : All)
    Out += "zelk_provider_transport_errors_total{" + Label(P) + "} " +
           std::to_string(C.TransportErrors) + "\n";
  Out += "# HELP zelk_provider_call_duration_seconds Provider calls that got a reply, by "
         "duration.\n# TYPE zelk_provider_call_duration_seconds histogram\n";
  for (const auto& [P, C] : All) {
    std::uint64_t Cumulative = 0;
    for (std::size_t I = 0; I < C.LatencyBuckets.size(); ++I) {
      Cumulative += C.LatencyBuckets[I];
      char Bound[32] = "+Inf";
      if (I < kLatencyBucketBoundsMs.size())
        std::snprintf(Bound, sizeof Bound, "%g", static_cast<double>(kLatencyBucketBoundsMs[I]) / 1000);
      Out += "zelk_provider_call_duration_seconds_bucket{" + Label(P) + ",le=\"" + Bound + "\"} " +
             std::to_string(Cumulative) + "\n";
    }
    char Sum[64];
    std::snprintf(Sum, sizeof Sum, "%.3f", static_cast<double>(C.CallMilliseconds) / 1000);
    Out += "zelk_provider_call_duration_seconds_sum{" + Label(P) + "} " + Sum + "\n";
    Out += "zelk_provider_call_duration_seconds_count{" + Label(P) + "} " + std::to_string(C.Calls) +
           "\n";
  }
  return Out;
}

void CountTransportError(const std::string& Provider) {
  std::lock_guard L(Counters().Mutex);
  ++Counters().Counters[Provider].TransportErrors;
}

}  // namespace zelk::IWZelkAuthBase
