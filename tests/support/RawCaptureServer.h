// A raw capture server for byte-exact transport tests: listens on 127.0.0.1 (port 0), serves
// one connection at a time, records each request's bytes exactly as they arrived (request
// line, header lines in their order, body) and answers with a canned reply.
//
// With Tls (the default) it speaks TLS with a certificate made at run time for the given names;
// without, plain TCP (a stand-in proxy). A request counts as complete at the end of its head
// plus the Content-Length it announces.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/Certificates.h"
#include "support/UniqueFd.h"

namespace zelk::testing {

class RawCaptureServer {
 public:
  struct TOptions {
    bool Tls = true;
    std::vector<std::string> DnsNames{"localhost"};
    std::vector<std::string> IpAddresses{"127.0.0.1"};
    // Sent after the request was read, then the connection is closed.
    std::string Reply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  };

  RawCaptureServer() : RawCaptureServer(TOptions{}) {}
  explicit RawCaptureServer(TOptions Options);
  ~RawCaptureServer();
  RawCaptureServer(const RawCaptureServer&) = delete;
  RawCaptureServer& operator=(const RawCaptureServer&) = delete;

  int Port() const { return FPort; }
  // "127.0.0.1:<port>"
  std::string Host() const { return "127.0.0.1:" + std::to_string(FPort); }
  // The CA that signed the server certificate (empty without TLS).
  std::string CACertificatePEM() const;

  // Every complete request so far, raw. A request is recorded before its reply is sent, so once
  // the client has its reply the request is here.
  std::vector<std::string> Requests() const;
  // Connections accepted so far, whether or not a request came over them.
  int Connections() const { return FConnections.load(); }

 private:
  void Serve();
  void Handle(int Socket);

  TOptions FOptions;
  std::optional<sim::TCertificateSet> FCertificates;
  struct TContext;
  std::unique_ptr<TContext> FContext;  // the TLS context, when Tls
  TUniqueFd FListener;
  int FPort = 0;
  std::atomic<int> FConnections{0};
  mutable std::mutex FMutex;
  std::vector<std::string> FRequests;
  std::thread FThread;
};

}  // namespace zelk::testing
