// The provider simulator: one HTTPS server per provider on 127.0.0.1, with a certificate made at
// start-up, playing every endpoint the clients call and every page the browser is sent to.
// Usable in-process (tests, the demo, benchmarks) and as the zelk-sim executable.
//
// The core here is the plumbing: listeners, routing, the request log and fault modes. Each
// provider's endpoints are installed by that provider's module (Route on its listener).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/rtl/StringList.h"

namespace zelk::sim {

// One listener (port) per provider: Facebook and Twitter both serve "/oauth/access_token".
enum class TProviderId { Google, Facebook, WindowsLive, Twitter, PayPal };

struct TSimRequest {
  std::string Method;
  std::string Target;      // path and query exactly as received
  std::string Path;        // without the query
  std::string Version;     // "HTTP/1.0" or "HTTP/1.1"
  rtl::TStringList Query;  // decoded name=value entries
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // 1 for the first request on its connection, 2 for the next on the same kept-alive one...
  std::size_t ConnectionRequest = 1;
  // The connection's TLS handshake resumed an earlier session.
  bool TlsResumed = false;
  // The first header named Name (letter case ignored), or empty.
  std::string Header(std::string_view Name) const;
  // The body decoded as application/x-www-form-urlencoded name=value entries.
  rtl::TStringList Form() const;
};

struct TSimResponse {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  std::vector<std::pair<std::string, std::string>> Headers;
  static TSimResponse Redirect(std::string Location, int Status = 302);
  static TSimResponse Html(std::string Body, int Status = 200);
  static TSimResponse Text(std::string Body, std::string ContentType = "text/plain",
                           int Status = 200);
};

using TSimHandler = std::function<TSimResponse(const TSimRequest&)>;

// Decodes application/x-www-form-urlencoded text ("+" a blank, "%XX" a byte) into name=value
// entries in their order; an entry without "=" gets an empty value.
rtl::TStringList DecodeForm(std::string_view Text);

// How a route misbehaves, for fault tests. The route's own reply is the one its handler gives
// (or a 404 when the path has no route); every fault but Status and LargeBody keeps its status
// and headers.
struct TFault {
  enum class TKind {
    None,
    Status,        // answer Status with Body instead of the route's reply
    Delay,         // wait Delay before answering (a stalled server); Stop cuts the wait
                   // short and answers 503 "simulator stopping"
    CloseMidBody,  // announce the whole body, send part of it, close the connection: Body when
                   // set, else the route's; Size bytes of it when 0 < Size < its length, else
                   // half
    Chunked,       // send the route's body in pieces of Size bytes (16 when 0), each after
                   // waiting Delay: chunked transfer coding to an HTTP/1.1 request, separate
                   // writes under Content-Length to HTTP/1.0
    LargeBody,     // answer a body of Size bytes, byte i being LargeBodyByte(i)
    Reset,         // answer nothing: reset the connection (TCP RST) once the request is read
    DropKept,      // as Reset, but only for a request that is not its connection's first: a
                   // server that dropped a kept-alive connection as the request arrived
    AnswerLost     // process the request (the route's handler runs and keeps what it did, a
                   // payment taken), then reset the connection before a byte of the answer
  };
  TKind Kind = TKind::None;
  int Status = 500;
  std::string Body;
  std::chrono::milliseconds Delay{0};
  std::size_t Size = 0;
  // Only requests whose target or body contains this text misbehave (e.g. one NVP method of
  // PayPal's "/nvp"); empty: every request of the path.
  std::string When;
  // The first Pass requests the fault would take are served as usual; it takes the ones after.
  std::size_t Pass = 0;

  // This fault, for the requests whose target or body contains Text only.
  TFault OnlyWhen(std::string Text) const {
    TFault F = *this;
    F.When = std::move(Text);
    return F;
  }
  // This fault, once Requests requests it would take have been served as usual.
  TFault AfterPassing(std::size_t Requests) const {
    TFault F = *this;
    F.Pass = Requests;
    return F;
  }

  // One fault of each kind, with what it needs.
  static TFault Reply(int Status, std::string Body) {
    TFault F;
    F.Kind = TKind::Status;
    F.Status = Status;
    F.Body = std::move(Body);
    return F;
  }
  static TFault Delayed(std::chrono::milliseconds Delay) {
    TFault F;
    F.Kind = TKind::Delay;
    F.Delay = Delay;
    return F;
  }
  static TFault CutAfter(std::size_t Bytes) {
    TFault F;
    F.Kind = TKind::CloseMidBody;
    F.Size = Bytes;
    return F;
  }
  static TFault Pieces(std::size_t Bytes, std::chrono::milliseconds Pause = {}) {
    TFault F;
    F.Kind = TKind::Chunked;
    F.Size = Bytes;
    F.Delay = Pause;
    return F;
  }
  static TFault ResetConnection() {
    TFault F;
    F.Kind = TKind::Reset;
    return F;
  }
  static TFault DropKeptConnection() {
    TFault F;
    F.Kind = TKind::DropKept;
    return F;
  }
  static TFault LoseAnswer() {
    TFault F;
    F.Kind = TKind::AnswerLost;
    return F;
  }
  static TFault Large(std::size_t Bytes) {
    TFault F;
    F.Kind = TKind::LargeBody;
    F.Size = Bytes;
    return F;
  }
};

// TLS protocol versions a listener may offer.
enum class TTlsVersion { Tls1_0, Tls1_1, Tls1_2, Tls1_3 };

// The listener's name in messages and listings: "Google", "Facebook", "Windows Live",
// "Twitter", "PayPal".
std::string ProviderName(TProviderId Provider);
inline constexpr int kProviderCount = 5;
// Byte Index of a LargeBody fault's body: the letters a to z over and over.
inline char LargeBodyByte(std::size_t Index) {
  return static_cast<char>('a' + Index % 26);
}

// What one listener has seen since the simulator started.
struct TSimCounters {
  std::uint64_t Connections = 0;        // TCP connections accepted
  std::uint64_t Handshakes = 0;         // TLS handshakes completed
  std::uint64_t ResumedHandshakes = 0;  // of those, resumed sessions
};

class Simulator {
 public:
  Simulator();
  ~Simulator();  // stops
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Makes the CA and server certificate, binds every listener on 127.0.0.1 (port 0: free ports)
  // and returns when all accept connections.
  void Start();
  // Makes the provider's listener offer only the TLS versions Min to Max, from the next Start
  // on: a server of an older generation, to test what clients accept. Versions below 1.2 are
  // offered at OpenSSL's lowest security level, since its default level refuses them.
  // Exception when Min is above Max.
  void SetTlsVersions(TProviderId Provider, TTlsVersion Min, TTlsVersion Max);
  void Stop();

  bool Running() const;
  // 0 while stopped.
  int Port(TProviderId Provider) const;
  // "127.0.0.1:<port>" of the provider's listener; Exception while stopped.
  std::string HostFor(TProviderId Provider) const;
  // "https://127.0.0.1:<port>", for pages the browser is sent to.
  std::string BaseURL(TProviderId Provider) const;
  // The CA certificate that signed the server certificate, PEM.
  std::string CACertificatePEM() const;
  // Points every entry of the provider endpoint table at this simulator and makes the transport
  // trust its CA (process-wide).
  void UseForThisProcess();
  // The endpoint settings for ZELK_PROVIDER_HOSTS that point a process at this simulator.
  std::string EndpointSettings() const;

  // Adds a route: Method ("GET", "POST") and an exact path (no query) on the provider's
  // listener. A later route for the same method and path replaces the earlier one. A path
  // segment "*" matches any one non-empty segment (a version or tenant in the path), for
  // requests no exact route takes; the handler reads the segment from the request's Path.
  void Route(TProviderId Provider, std::string Method, std::string Path, TSimHandler Handler);
  // Makes the route for Path (any method) misbehave until cleared.
  void SetFault(TProviderId Provider, std::string Path, TFault Fault);
  void ClearFaults();

  // The provider's listener's connections and handshakes (all 0 while stopped).
  TSimCounters Counters(TProviderId Provider) const;

  // Every request the provider's listener received, in order.
  std::vector<TSimRequest> Received(TProviderId Provider) const;
  void ClearReceived();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace zelk::sim
