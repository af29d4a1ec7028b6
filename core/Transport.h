// The HTTPS transport of every server-to-server call: Https_Get and Https_Post (classic mode),
// Https_Get11 and Https_Post11 (current mode), their process-wide settings, the test seam and
// the counters; and TTransport, the way a client or a flow sends its calls, which gives each
// reply with its status line (THttpReply) and can be given a transport of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace zelk::IWZelkAuthBase {

// HTTPS transport. One synchronous request per call over TLS to Host (port 443, or the port a
// host setting carries); Body receives the reply's bytes whatever the HTTP status. A failed step
// raises ETransportError("<Step> Error <code> Description <text>").

// A failed transport call. Step() is the step named at the start of the message
// ("HttpSendRequest", "HttpReceiveResponse", ...). RequestMayHaveArrived() tells the two kinds
// of failure apart: false when the call failed before the whole request was sent (a check of
// the caller's input, name resolution, connecting, the TLS handshake, a refusal before
// sending), so the provider cannot have acted on it and sending it again is safe; true once the
// request went out and the answer was lost (a reset, a cut or stalled reply), when the provider
// may have acted on it.
class ETransportError : public rtl::Exception {
 public:
  ETransportError(std::string Message, std::string Step, bool RequestMayHaveArrived)
      : Exception(std::move(Message)),
        FStep(std::move(Step)),
        FRequestMayHaveArrived(RequestMayHaveArrived) {}
  const std::string& Step() const noexcept { return FStep; }
  bool RequestMayHaveArrived() const noexcept { return FRequestMayHaveArrived; }

 private:
  std::string FStep;
  bool FRequestMayHaveArrived;
};

void Https_Get(const std::string& Host, const std::string& Path, std::string& Body);
void Https_Post(const std::string& Host, const std::string& Path, const std::string& Headers,
                const std::string& Data, std::string& Body);

// The calls of the providers' current APIs: HTTP/1.1 and a block of header lines, each
// "Name: value" (an Authorization header, an Accept, a content type). Otherwise as above: the
// reply body whatever the HTTP status, the same checks and failures.
void Https_Get11(const std::string& Host, const std::string& Path,
                 const std::vector<std::string>& HeaderLines, std::string& Body);
void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body);
// The same, and StatusLine receives the reply's status line without its line end ("HTTP/1.1 403
// Forbidden"); it stays empty when the test hook answers.
void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body, std::string& StatusLine);

// Process-wide transport settings, safe to change and read from any thread; a call uses the
// settings current when it starts.
struct TTransportSettings {
  // Connecting (TCP and TLS) may take this long.
  std::chrono::milliseconds ConnectTimeout{60000};
  // A send or a receive that makes no progress for this long fails.
  std::chrono::milliseconds StallTimeout{30000};
  // The whole call, from its start to the reply's last byte, takes at most this long, whatever
  // ConnectTimeout and StallTimeout allow: a provider that trickles its reply (every byte
  // restarting the stall limit) holds the request, its session and a worker no longer than
  // this. The call then fails at the step it had reached.
  std::chrono::milliseconds TotalTimeout{60000};
  // Extra trusted CA certificates besides the system store: PEM text, or the path of a PEM file.
  // Initially the environment variable ZELK_EXTRA_CA_CERTIFICATES, when set.
  std::string ExtraCACertificates;
  // Empty: the system's proxy configuration (the standard proxy environment variables).
  // Otherwise an explicit proxy URL, credentials included ("http://user:pw@proxy:3128").
  std::string ProxyURL;
  // A reply body larger than this fails instead of exhausting memory. Every reply the clients
  // read (token replies, profiles, posts' answers, NVP and REST payment replies) is a few
  // kilobytes at most; 1 MiB leaves ample room while a hostile provider can hold no more than
  // that per concurrent call.
  std::size_t MaxBodyBytes = std::size_t{1} * 1024 * 1024;
  // Resume TLS sessions: a call to a host called before (same proxy and CA setting) skips the
  // certificate exchange and key agreement of a full handshake. Every call, both kinds. A new
  // session is verified as always. Initially on unless ZELK_TLS_RESUMPTION is "0".
  bool ResumeTlsSessions = true;
  // The current APIs' calls (Https_Get11, Https_Post11) keep their HTTP/1.1 connection open for
  // the next call to the same host (same proxy and CA setting); the classic calls open one per
  // call always. Initially on unless ZELK_KEEP_CONNECTIONS is "0".
  bool KeepConnections = true;
  // Kept connections per host, at most; the oldest goes when one more is kept.
  std::size_t MaxKeptConnectionsPerHost = 8;
  // A kept connection unused for this long is closed, not used again.
  std::chrono::milliseconds KeptConnectionIdle{30000};
};
TTransportSettings TransportSettings();
void SetTransportSettings(const TTransportSettings& Settings);

// What the environment changed in this process: the provider hosts ZELK_PROVIDER_HOSTS
// redirected and the extra CA certificates ZELK_EXTRA_CA_CERTIFICATES named. Each variable is
// read once, when its setting is first needed, and when it is in force a line saying so
// ("zelk: ZELK_PROVIDER_HOSTS is in force: ...") goes to standard error at that moment, once.
// The application can ask here, e.g. to refuse to run redirected in production.
struct TEnvironmentOverrides {
  std::vector<std::string> ProviderHostKeys;  // keys as ProviderHostKey gives them; empty: none
  std::string ExtraCACertificates;            // the variable's text (a file or PEM); empty: none
  bool Any() const { return !ProviderHostKeys.empty() || !ExtraCACertificates.empty(); }
};
// Reads both variables if that has not happened yet.
TEnvironmentOverrides EnvironmentOverrides();

// One call as the transport received it.
struct TTransportRequest {
  std::string Method;   // "GET" or "POST"
  std::string Host;     // as passed, e.g. "login.example.com" or "127.0.0.1:8443"
  std::string Path;     // request target: path and query
  std::string Headers;  // the caller's header line (POST only)
  std::string Data;     // the body (POST only)
  // Calls of the current APIs (Https_Get11, Https_Post11): HTTP/1.1 with these header lines.
  bool Http11 = false;
  std::vector<std::string> HeaderLines;
};
// Test seam: while set, every Https_Get and Https_Post (and every call of a default TTransport)
// goes to the hook instead of the network. The hook returns the reply body or throws (as the
// transport would). An empty function restores the real transport. A TTransport given a
// function of its own does not use the hook.
using TTransportHook = std::function<std::string(const TTransportRequest& Request)>;
void SetTransportHook(TTransportHook Hook);

// A reply as the transport received it: the status line and the body.
struct THttpReply {
  // "HTTP/1.1 403 Forbidden", without its line end; empty when a test hook answered with a body
  // only.
  std::string StatusLine;
  std::string Body;
  // The status code the status line carries (403); 0 when it carries none.
  long Status() const;
};

// A transport a client or a flow is given: sends one checked call and gives its reply, or
// throws as the transport would (ETransportError).
using TTransportFunction = std::function<THttpReply(const TTransportRequest& Request)>;

// How a client or a flow sends its calls. A default TTransport sends them the process-wide way:
// to the hook of SetTransportHook when one is set, else over the network. One made with a
// function sends every call to that function instead, whatever hook is set, so that unit tests
// of different providers can each give their client a transport of its own and run side by
// side. Either way the call is checked first (a bad host, target or header line raises before
// anything is sent), counted and traced. A value: copies share the function, which must be
// safe to call from the threads the copies are used on.
class TTransport {
 public:
  TTransport() = default;
  explicit TTransport(TTransportFunction Via) : FVia(std::move(Via)) {}
  // Whether calls go the process-wide way.
  bool IsDefault() const { return !FVia; }

  // Sends Request as it stands.
  THttpReply Send(const TTransportRequest& Request) const;
  // The classic calls: HTTP/1.0, one header line at most (empty: none).
  THttpReply Get(const std::string& Host, const std::string& Path) const;
  THttpReply Post(const std::string& Host, const std::string& Path, const std::string& Header,
                  const std::string& Data) const;
  // The current APIs' calls: HTTP/1.1 with a block of header lines.
  THttpReply Get11(const std::string& Host, const std::string& Path,
                   const std::vector<std::string>& HeaderLines) const;
  THttpReply Post11(const std::string& Host, const std::string& Path,
                    const std::vector<std::string>& HeaderLines, const std::string& Data) const;

 private:
  TTransportFunction FVia;
};

// What the transport's kept connections have done in this process.
struct TTransportCounters {
  std::uint64_t ReusedConnections = 0;   // calls served on a connection kept from an earlier call
  std::uint64_t Retries = 0;             // GETs sent again after a kept connection was dropped
  std::uint64_t ExpiredConnections = 0;  // kept connections closed for idling too long
  std::uint64_t IdleConnections = 0;     // kept connections waiting for a call now
};
TTransportCounters TransportCounters();

}  // namespace zelk::IWZelkAuthBase
