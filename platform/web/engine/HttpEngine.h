// THttpEngine: the HTTP/1.1 server both the web application server and the provider simulator
// serve with. Connections are read and written asynchronously on a few I/O threads; handlers
// (which may block, on a provider call say) run on a pool of worker threads, so that idle, slow
// or kept-alive connections never hold a worker.
//
// Every limit is enforced while the request arrives, not once it is whole:
//  - the head (THeadScanner's rules) within HeadTimeout, counted from the connection's start
//    or, on a kept-alive connection, from the next request's first byte; a kept-alive
//    connection may idle for KeepAliveTimeout before that byte;
//  - HTTP/1.1 requests have exactly one Host line, HTTP/1.0 ones at most one (400);
//  - the body within BodyTimeout and at most MaxBodyBytes, as sent or decoded from chunks. A
//    chunked body is bounded part by part while it arrives, so that a chunk line or trailer
//    without end is never buffered: a chunk line (size and extensions) at most 4096 bytes
//    (400), the trailer at most MaxHeaderBytes (431), the body as sent, chunk lines and trailer
//    included, at most MaxBodyBytes + 64 KiB (413). Bytes after the body stay for the next
//    request;
//  - each answer written within WriteTimeout;
//  - at most MaxConnectionsPerAddress connections from one address (UncappedAddresses aside)
//    and MaxConnections in all: connections beyond either are closed at once, without an
//    answer;
//  - a request waits at most QueueTimeout for a free worker, then is answered 503 and its
//    connection closed.
// A refused request gets the error page of its status (414, 431, 413, 400, 503) and its
// connection is closed; a head that times out closes the connection without an answer.
//
// Boost.Beast and Asio stay inside HttpEngine.cpp: users of this header see neither.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/ossl_typ.h>

namespace zelk::web::engine {

struct TEngineOptions {
  std::string BindAddress = "127.0.0.1";
  int Port = 0;  // 0: a free port
  // Threads of the event loop; 0: one per core.
  int IoThreadCount = 0;
  // Threads that run handlers.
  int WorkerCount = 256;
  std::chrono::milliseconds QueueTimeout{std::chrono::seconds(10)};
  std::chrono::milliseconds HeadTimeout{std::chrono::seconds(10)};
  std::chrono::milliseconds BodyTimeout{std::chrono::seconds(30)};
  std::chrono::milliseconds WriteTimeout{std::chrono::seconds(30)};
  std::chrono::milliseconds KeepAliveTimeout{std::chrono::seconds(5)};
  int KeepAliveMaxCount = 1000;
  std::size_t MaxTargetBytes = 8192;
  std::size_t MaxLineBytes = 8192;
  // The request line and header lines together; also the trailer of a chunked body.
  std::size_t MaxHeaderBytes = 16384;
  std::size_t MaxHeaderLines = 100;
  // The body decoded; as sent, a chunked one may be 64 KiB longer.
  std::size_t MaxBodyBytes = std::size_t{1} << 20;
  std::size_t MaxConnectionsPerAddress = 256;
  // Addresses the per-address cap does not apply to (a reverse proxy, whose connections carry
  // every browser's requests); they still count towards MaxConnections.
  std::vector<std::string> UncappedAddresses;
  std::size_t MaxConnections = 20000;
  // TLS: PEM files, or a certificate and key in memory (the engine takes its own references).
  std::string CertificateFile;
  std::string PrivateKeyFile;
  X509* Certificate = nullptr;
  EVP_PKEY* PrivateKey = nullptr;
  // Called with the TLS context once the certificate is in (TLS 1.2 and newer by default), to
  // change what it offers; what it raises Start raises.
  std::function<void(SSL_CTX* Context)> ConfigureTls;
};

struct TEngineRequest {
  std::string Method;
  std::string Target;   // as sent
  std::string Version;  // "HTTP/1.0" or "HTTP/1.1"
  // Names as sent, values without surrounding blanks, in order.
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // The request line and header lines exactly as received, up to and including the blank line.
  std::string RawHead;
  std::string RemoteAddress;
  std::string LocalAddress;
  int LocalPort = 0;
  bool TLS = false;
  // 1 for the first request on its connection, 2 for the next on the same kept-alive one...
  std::size_t ConnectionRequest = 1;
  // The connection's TLS handshake resumed an earlier session (no certificate exchange).
  bool TlsResumed = false;
  // The first header named Name (letter case ignored), or empty.
  std::string Header(std::string_view Name) const;
};

struct TEngineResponse {
  int Status = 200;
  // Content-Length and Connection are the engine's; every other header line is sent as given.
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // Close the connection after this answer.
  bool Close = false;
};

// What a handler may do besides answering: write the answer's bytes itself (head included), a
// piece at a time, or reset the connection. Once a handler has written or reset, its
// TEngineResponse is ignored and the connection is closed after it returns.
class TEngineConnection {
 public:
  virtual ~TEngineConnection() = default;
  // Writes Bytes as they are; waits until they are sent. False when the connection is gone.
  virtual bool WriteRaw(std::string_view Bytes) = 0;
  // Drops the connection with a TCP reset; nothing more is sent.
  virtual void Reset() = 0;
};

using TEngineHandler = std::function<void(const TEngineRequest& Request, TEngineResponse& Response,
                                          TEngineConnection& Connection)>;
// The answer to a request the engine refuses itself: Status and a sentence saying why.
using TEngineErrorPage = std::function<TEngineResponse(int Status, const std::string& Message)>;

// The reason phrase of Status ("Not Found" for 404).
std::string ReasonPhrase(int Status);

// What the engine has done since Start, for tests and monitoring.
struct TEngineCounters {
  std::uint64_t Connections = 0;        // accepted (those refused at once by a cap not counted)
  std::uint64_t Handshakes = 0;         // TLS handshakes completed
  std::uint64_t ResumedHandshakes = 0;  // of those, the ones that resumed an earlier session
};

class THttpEngine {
 public:
  // Handler runs on worker threads, several at once. ErrorPage may be empty (plain text).
  THttpEngine(TEngineOptions Options, TEngineHandler Handler, TEngineErrorPage ErrorPage = {});
  ~THttpEngine();  // stops
  THttpEngine(const THttpEngine&) = delete;
  THttpEngine& operator=(const THttpEngine&) = delete;

  // Binds (SO_REUSEADDR, the system's longest backlog) and serves on background threads;
  // returns once connections are accepted. Raises rtl::Exception when the address cannot be
  // bound or the certificate cannot be used.
  void Start();
  // Stops accepting, closes every connection, waits for the handlers in progress. Idempotent.
  void Stop();
  int Port() const;
  // Connections open now (for tests and monitoring).
  std::size_t ConnectionCount() const;
  TEngineCounters Counters() const;

  // The implementation, shared with the connections (HttpEngine.cpp).
  struct TImpl;

 private:
  std::shared_ptr<TImpl> FImpl;
};

}  // namespace zelk::web::engine
