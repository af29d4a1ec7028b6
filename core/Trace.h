// Diagnostics of sign-in and payment flows: a redacted trace of every provider call and flow
// step, and per-provider counters.
//
// The trace is off by default. ZELK_TRACE=1 in the environment sends it to standard error;
// SetTraceSink routes it to the application's own logging instead. Each event is one line of
// "key=value" fields. Secrets never reach the sink: every text that goes into an event (paths,
// bodies, header lines, replies) passes RedactSecrets first. Every value is then escaped
// (EscapeLogText: '"' and '\' with a backslash, control and non-ASCII bytes as \xHH) and quoted
// when it holds a blank, so that no text a provider or browser sent can break the line or add a
// field: a value is either a run of visible characters or a quoted string.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "core/ProviderRegistry.h"
#include "platform/web/LogText.h"

namespace zelk::IWZelkAuthBase {

// Receives one trace line (no line break at its end). Called on the thread of the flow; the
// sink must be thread-safe itself when several flows run at once. Calls are serialised.
using TTraceSink = std::function<void(const std::string& Line)>;

// Routes the trace to Sink and switches it on; an empty Sink switches it back to what the
// environment says (ZELK_TRACE=1: standard error; otherwise off).
void SetTraceSink(TTraceSink Sink);
// Whether trace events are being delivered.
bool TraceEnabled();

// What replaces a secret, and the redaction every trace field passes (platform/web/LogText.h):
// secret parameters (by their percent-decoded name), JSON members and Authorization header
// lines; RedactQueryString also the flow identifiers.
using web::kRedacted;
using web::RedactQueryString;
using web::RedactSecrets;

// One event of the trace. Empty fields are left out of the line.
struct TTraceEvent {
  std::string Flow;      // the flow identifier ("state")
  std::string Provider;  // the provider's registered name (core/ProviderRegistry.h)
  std::string Step;      // "authorize redirect", "token exchange", "profile", "post", ...
  std::string Method;
  std::string Host;
  std::string Path;
  std::string Headers;      // request header lines, joined by "; "
  std::string RedirectURI;  // the return address sent to the provider
  long Status = 0;          // HTTP status; 0: none
  long ElapsedMs = -1;      // -1: not measured
  std::string Request;      // request body (the line shows its first 4096 bytes)
  std::string Reply;        // reply body (the line shows its first 4096 bytes)
  std::string Error;        // the provider's or the transport's error text
  std::string Outcome;      // "ok", "failed", "denied", "unknown"
};

// Redacts every field and hands the line to the sink; does nothing when the trace is off.
void Trace(const TTraceEvent& Event);
// The line Trace delivers for Event (redacted).
std::string FormatTraceEvent(const TTraceEvent& Event);

// The flow and provider that provider calls on this thread belong to, for as long as the scope
// lives. Scopes nest; an empty field keeps the outer scope's value.
class TTraceScope {
 public:
  TTraceScope(std::string Provider, std::string Flow, std::string Step = {});
  ~TTraceScope();
  TTraceScope(const TTraceScope&) = delete;
  TTraceScope& operator=(const TTraceScope&) = delete;

 private:
  std::string FProvider, FFlow, FStep;
};
// The current scope's values on this thread (empty outside any scope).
std::string TraceProvider();
std::string TraceFlow();
std::string TraceStep();

// ProviderNameOfClass, the short provider name of a client class, comes from the provider
// registry (core/ProviderRegistry.h), included above.

// Notes on this thread that Provider started the flow Flow (counted as started);
// ProviderOfFlow gives the provider of the last flow noted on this thread when it is Flow,
// else the current scope's.
void NoteFlowStarted(const std::string& Provider, const std::string& Flow);
std::string ProviderOfFlow(const std::string& Flow);

// Upper bounds, in milliseconds, of the latency buckets; a last bucket holds the slower calls.
inline constexpr std::array<long, 5> kLatencyBucketBoundsMs{50, 200, 1000, 5000, 30000};

struct TProviderCounters {
  std::uint64_t FlowsStarted = 0;
  std::uint64_t FlowsSucceeded = 0;
  std::uint64_t FlowsFailed = 0;  // failures other than the user's refusal
  std::uint64_t FlowsDenied = 0;  // the user refused at the provider
  // The provider's answer to the completing call was lost: the outcome is not known (a payment
  // may have been taken).
  std::uint64_t FlowsUnknown = 0;
  std::uint64_t TransportErrors = 0;
  std::uint64_t Calls = 0;  // provider calls that got a reply
  std::uint64_t CallMilliseconds = 0;  // their durations added up
  std::array<std::uint64_t, kLatencyBucketBoundsMs.size() + 1> LatencyBuckets{};
};

// A copy of the counters, by provider name.
std::map<std::string, TProviderCounters> ProviderCounters();
void ResetProviderCounters();

// Counting entry points for the library's flow steps.
void CountFlowStarted(const std::string& Provider);
void CountOutcome(const std::string& Provider, bool Succeeded, bool Denied);
void CountUnknownOutcome(const std::string& Provider);
void CountCall(const std::string& Provider, long ElapsedMs);
void CountTransportError(const std::string& Provider);

// The counters in the Prometheus text format: flows started and by outcome, transport errors
// and provider call durations, labelled by provider.
std::string ProviderMetricsText();

}  // namespace zelk::IWZelkAuthBase
