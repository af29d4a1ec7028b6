// One listener of the simulator: cpp-httplib's HTTPS server, serving each connection itself so
// that the request head is kept exactly as it arrived.
//
// cpp-httplib percent-decodes every header value it parses, so "oauth_signature=\"a%2Bb\""
// would reach a handler as "a+b" and a signature check could not see what the client sent.
// This server does the TLS handshake and the keep-alive loop of a connection itself (the
// listening, threads, parsing and routing stay httplib's) and reads through a stream that keeps
// the raw bytes; a handler asks for the raw head of the request it serves.
#pragma once

#include <httplib.h>

#include <string>

namespace zelk::sim {

class TSimServer : public httplib::SSLServer {
 public:
  TSimServer(X509* Certificate, EVP_PKEY* PrivateKey);

  // Inside a handler: the request line and header lines of the request being served, exactly
  // as received, up to and including the blank line. Empty elsewhere.
  static std::string CurrentRawHead();
  // Inside a handler: resets the connection of the request being served (the peer sees a TCP
  // RST, nothing of an answer); what the handler answers afterwards goes nowhere.
  static void ResetCurrentConnection();

 private:
  bool process_and_close_socket(socket_t Socket) override;
};

}  // namespace zelk::sim
