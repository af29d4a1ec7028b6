// The redacted trace and the per-provider counters.
#include "core/Trace.h"

#include <algorithm>
#include <cctype>
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

enum class TKind : std::uint8_t { kSecret, kCard, kFlow };

struct TSecretName {
  std::string_view Name;
  TKind Kind;
};

// Parameter and member names whose values are secrets, matched without regard to case.
constexpr std::array<TSecretName, 29> kSecretNames{{
    {"client_secret", TKind::kSecret},
    {"code", TKind::kSecret},
    {"access_token", TKind::kSecret},
    {"refresh_token", TKind::kSecret},
    {"id_token", TKind::kSecret},
    {"token", TKind::kSecret},
    {"oauth_token", TKind::kSecret},
    {"oauth_token_secret", TKind::kSecret},
    {"oauth_verifier", TKind::kSecret},
    {"oauth_signature", TKind::kSecret},
    {"code_verifier", TKind::kSecret},
    {"secret", TKind::kSecret},
    {"password", TKind::kSecret},
    {"pwd", TKind::kSecret},
    {"signature", TKind::kSecret},
    {"cvv2", TKind::kSecret},
    {"cvv", TKind::kSecret},
    {"cvc", TKind::kSecret},
    {"security_code", TKind::kSecret},
    {"appsecret_proof", TKind::kSecret},
    {"client_assertion", TKind::kSecret},
    {"verifier", TKind::kSecret},
    {"wrap_verification_code", TKind::kSecret},
    {"acct", TKind::kCard},
    {"number", TKind::kCard},
    {"card_number", TKind::kCard},
    {"state", TKind::kFlow},
    {"clientid", TKind::kFlow},
    {"denied", TKind::kSecret},
}};

bool IsNameChar(char C) {
  return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '_' || C == '-';
}

// The secret name that the text starts with at I as a whole word, if any.
const TSecretName* NameAt(std::string_view Text, std::size_t I) {
  if (I > 0 && IsNameChar(Text[I - 1])) return nullptr;
  std::size_t End = I;
  while (End < Text.size() && IsNameChar(Text[End]))
    ++End;
  const std::string_view Word = Text.substr(I, End - I);
  for (const TSecretName& N : kSecretNames) {
    if (N.Name.size() != Word.size()) continue;
    if (std::equal(Word.begin(), Word.end(), N.Name.begin(),
                   [](char A, char B) { return std::tolower(static_cast<unsigned char>(A)) == B; }))
      return &N;
  }
  return nullptr;
}

// What replaces Value: the marker, for a card number the marker and its last four digits.
std::string Replacement(std::string_view Value, TKind Kind) {
  if (Kind == TKind::kCard) {
    std::string Digits;
    for (char C : Value)
      if (std::isdigit(static_cast<unsigned char>(C)) != 0) Digits += C;
    if (Digits.size() > 4) return std::string(kRedacted) + Digits.substr(Digits.size() - 4);
  }
  return std::string(kRedacted);
}

bool EndsBareValue(char C) {
  return C == '&' || C == '"' || C == '\'' || C == ',' || C == ';' || C == '<' || C == '>' ||
         C == '}' || C == ']' || std::isspace(static_cast<unsigned char>(C)) != 0;
}

// Redacts the value that starts at Text[Start] (quoted or bare); returns the index after it.
std::size_t RedactValue(std::string_view Text, std::size_t Start, TKind Kind, std::string& Out) {
  std::size_t I = Start;
  if (I < Text.size() && Text[I] == '"') {
    std::size_t J = I + 1;
    while (J < Text.size() && Text[J] != '"') {
      if (Text[J] == '\\') ++J;
      ++J;
    }
    J = std::min(J, Text.size());
    Out += '"';
    if (J > I + 1) Out += Replacement(Text.substr(I + 1, J - I - 1), Kind);
    return J;  // the closing quote is copied by the caller
  }
  std::size_t J = I;
  // A card number may be written in groups: blanks and dashes between digits belong to it.
  auto InCard = [&](std::size_t K) {
    return Kind == TKind::kCard && (Text[K] == ' ' || Text[K] == '-') && K + 1 < Text.size() &&
           std::isdigit(static_cast<unsigned char>(Text[K + 1])) != 0 && K > I &&
           std::isdigit(static_cast<unsigned char>(Text[K - 1])) != 0;
  };
  while (J < Text.size() && (!EndsBareValue(Text[J]) || InCard(J)))
    ++J;
  if (J > I) Out += Replacement(Text.substr(I, J - I), Kind);
  return J;
}

bool StartsWithNoCase(std::string_view Text, std::size_t I, std::string_view Prefix) {
  if (Text.size() - I < Prefix.size()) return false;
  for (std::size_t K = 0; K < Prefix.size(); ++K)
    if (std::tolower(static_cast<unsigned char>(Text[I + K])) !=
        std::tolower(static_cast<unsigned char>(Prefix[K])))
      return false;
  return true;
}

std::string Redact(std::string_view Text, bool FlowIdentifiers) {
  std::string Out;
  Out.reserve(Text.size());
  std::size_t I = 0;
  while (I < Text.size()) {
    // An Authorization header: everything after the scheme, except OAuth 1.0a's parameters,
    // which are redacted one by one (their names are secret names).
    if ((I == 0 || !IsNameChar(Text[I - 1])) && StartsWithNoCase(Text, I, "authorization:")) {
      std::size_t J = I + 14;
      while (J < Text.size() && Text[J] == ' ')
        ++J;
      std::size_t SchemeEnd = J;
      while (SchemeEnd < Text.size() && IsNameChar(Text[SchemeEnd]))
        ++SchemeEnd;
      Out.append(Text.substr(I, SchemeEnd - I));
      I = SchemeEnd;
      if (StartsWithNoCase(Text, J, "oauth ")) continue;
      std::size_t LineEnd = I;
      while (LineEnd < Text.size() && Text[LineEnd] != '\r' && Text[LineEnd] != '\n' &&
             Text[LineEnd] != ';')
        ++LineEnd;
      if (LineEnd > I) Out += " " + std::string(kRedacted);
      I = LineEnd;
      continue;
    }
    const TSecretName* Name = NameAt(Text, I);
    if (Name == nullptr || (Name->Kind == TKind::kFlow && !FlowIdentifiers)) {
      // Copy the whole word so that a secret name inside a longer word never matches.
      std::size_t J = I;
      while (J < Text.size() && IsNameChar(Text[J]))
        ++J;
      if (J == I) ++J;
      Out.append(Text.substr(I, J - I));
      I = J;
      continue;
    }
    std::size_t J = I + Name->Name.size();
    Out.append(Text.substr(I, J - I));
    const bool Quoted = I > 0 && Text[I - 1] == '"' && J < Text.size() && Text[J] == '"';
    if (Quoted) {
      // A JSON member: "name" : "value".
      std::size_t K = J + 1;
      while (K < Text.size() && std::isspace(static_cast<unsigned char>(Text[K])) != 0)
        ++K;
      if (K < Text.size() && Text[K] == ':') {
        ++K;
        while (K < Text.size() && std::isspace(static_cast<unsigned char>(Text[K])) != 0)
          ++K;
        const bool Number = K < Text.size() && std::isdigit(static_cast<unsigned char>(Text[K]));
        if (K < Text.size() && (Text[K] == '"' || (Number && Name->Kind == TKind::kCard))) {
          Out.append(Text.substr(J, K - J));
          I = RedactValue(Text, K, Name->Kind, Out);
          continue;
        }
      }
      I = J;
      continue;
    }
    if (J < Text.size() && Text[J] == '=') {
      Out += '=';
      I = RedactValue(Text, J + 1, Name->Kind, Out);
      continue;
    }
    I = J;
  }
  return Out;
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
  // Values with blanks are quoted for the eye; quotes inside stay as they are, so that a
  // JSON reply or an OAuth header reads as it went over the wire. Line breaks become blanks:
  // one event is one line.
  const bool Quote = Value.find_first_of(" \t\r\n") != std::string::npos;
  if (Quote) Line += '"';
  for (char C : Value)
    Line += (C == '\r' || C == '\n') ? ' ' : C;
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

std::string RedactSecrets(std::string_view Text) {
  return Redact(Text, false);
}

std::string RedactQueryString(std::string_view Query) {
  return Redact(Query, true);
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

std::string ProviderNameOfClass(std::string_view ClassName) {
  for (const auto& [Part, Name] : std::array<std::pair<std::string_view, std::string_view>, 6>{{
           {"Facebook", "Facebook"},
           {"GAuth", "Google"},
           {"Google", "Google"},
           {"WindowsLive", "WindowsLive"},
           {"Twitter", "Twitter"},
           {"PayPal", "PayPal"},
       }})
    if (ClassName.find(Part) != std::string_view::npos) return std::string(Name);
  return std::string(ClassName);
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

void CountCall(const std::string& Provider, long ElapsedMs) {
  std::size_t Bucket = 0;
  while (Bucket < kLatencyBucketBoundsMs.size() && ElapsedMs > kLatencyBucketBoundsMs[Bucket])
    ++Bucket;
  std::lock_guard L(Counters().Mutex);
  TProviderCounters& C = Counters().Counters[Provider];
  ++C.Calls;
  ++C.LatencyBuckets[Bucket];
}

void CountTransportError(const std::string& Provider) {
  std::lock_guard L(Counters().Mutex);
  ++Counters().Counters[Provider].TransportErrors;
}

}  // namespace zelk::IWZelkAuthBase
