// The provider simulator: one HTTPS server per provider on 127.0.0.1, with a certificate made at
// start-up, playing every endpoint the clients call and every page the browser is sent to.
// Usable in-process (tests, the demo, benchmarks) and as the zelk-sim executable.
//
// The core here is the plumbing: listeners, routing, the request log and fault modes. Each
// provider's endpoints are installed by that provider's module (Route on its listener).
#pragma once

#include <chrono>
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
  std::string Target;  // path and query exactly as received
  std::string Path;    // without the query
  std::string Version;  // "HTTP/1.0" or "HTTP/1.1"
  rtl::TStringList Query;  // decoded name=value entries
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
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

// How a route misbehaves, for fault tests.
struct TFault {
  enum class TKind {
    None,
    Status,        // answer Status with Body instead of the route's reply
    Delay,         // wait Delay before answering (a stalled server)
    CloseMidBody,  // announce the whole body, send part of it, close the connection
    Chunked,       // send the route's body in many small pieces
    LargeBody      // answer a body of Size bytes
  };
  TKind Kind = TKind::None;
  int Status = 500;
  std::string Body;
  std::chrono::milliseconds Delay{0};
  std::size_t Size = 0;
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
  void Stop();

  int Port(TProviderId Provider) const;
  // "127.0.0.1:<port>" of the provider's listener.
  std::string HostFor(TProviderId Provider) const;
  // The CA certificate that signed the server certificate, PEM.
  std::string CACertificatePEM() const;
  // Points every entry of the provider endpoint table at this simulator and makes the transport
  // trust its CA (process-wide).
  void UseForThisProcess();
  // The endpoint settings for ZELK_PROVIDER_HOSTS that point a process at this simulator.
  std::string EndpointSettings() const;

  // Adds a route: Method ("GET", "POST") and an exact path (no query) on the provider's
  // listener. A later route for the same method and path replaces the earlier one.
  void Route(TProviderId Provider, std::string Method, std::string Path, TSimHandler Handler);
  // Makes the route for Path (any method) misbehave until cleared.
  void SetFault(TProviderId Provider, std::string Path, TFault Fault);
  void ClearFaults();

  // Every request the provider's listener received, in order.
  std::vector<TSimRequest> Received(TProviderId Provider) const;
  void ClearReceived();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace zelk::sim
