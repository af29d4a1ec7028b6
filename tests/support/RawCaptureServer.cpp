#include "support/RawCaptureServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/rtl/StringList.h"
#include "platform/rtl/SysUtils.h"

namespace zelk::testing {

namespace {

struct TCtxFree {
  void operator()(SSL_CTX* C) const noexcept { SSL_CTX_free(C); }
};
struct TSslFree {
  void operator()(SSL* S) const noexcept { SSL_free(S); }
};

// The length a request head announces, 0 when none.
std::size_t ContentLength(std::string_view Head) {
  std::size_t Pos = 0;
  while ((Pos = Head.find("\r\n", Pos)) != std::string_view::npos) {
    Pos += 2;
    const std::string_view Line = Head.substr(Pos, Head.find("\r\n", Pos) - Pos);
    const auto Colon = Line.find(':');
    if (Colon != std::string_view::npos && rtl::SameText(Line.substr(0, Colon), "Content-Length"))
      return std::stoul(std::string(Line.substr(Colon + 1)));
  }
  return 0;
}

}  // namespace

struct RawCaptureServer::TContext {
  std::unique_ptr<SSL_CTX, TCtxFree> Ctx;
};

RawCaptureServer::RawCaptureServer(TOptions Options) : FOptions(std::move(Options)) {
  // A client that gives up mid-reply must not kill the test process with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  if (FOptions.Tls) {
    FCertificates =
        sim::MakeCertificates(FOptions.DnsNames, FOptions.IpAddresses, "Zelk Capture Test CA");
    FContext = std::make_unique<TContext>();
    FContext->Ctx.reset(SSL_CTX_new(TLS_server_method()));
    if (!FContext->Ctx ||
        SSL_CTX_use_certificate(FContext->Ctx.get(), FCertificates->Server.get()) != 1 ||
        SSL_CTX_use_PrivateKey(FContext->Ctx.get(), FCertificates->ServerKey.get()) != 1)
      throw rtl::Exception("RawCaptureServer: cannot set up TLS");
  }
  FListener = TUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (FListener.Get() < 0) throw rtl::Exception("RawCaptureServer: no socket");
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = 0;
  socklen_t Length = sizeof Address;
  if (::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
      ::listen(FListener.Get(), 16) != 0 ||
      ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&Address), &Length) != 0)
    throw rtl::Exception("RawCaptureServer: cannot listen on 127.0.0.1");
  FPort = ntohs(Address.sin_port);
  // Listening from here on: connections wait in the backlog until Serve takes them.
  FThread = std::thread([this] { Serve(); });
}

RawCaptureServer::~RawCaptureServer() {
  // Wakes the blocked accept; Serve then returns.
  ::shutdown(FListener.Get(), SHUT_RDWR);
  if (FThread.joinable()) FThread.join();
}

std::string RawCaptureServer::CACertificatePEM() const {
  return FCertificates ? FCertificates->CAPem : std::string();
}

std::vector<std::string> RawCaptureServer::Requests() const {
  std::lock_guard L(FMutex);
  return FRequests;
}

void RawCaptureServer::Serve() {
  for (;;) {
    const int S = ::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (S < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    ++FConnections;
    TUniqueFd Connection(S);
    Handle(Connection.Get());
  }
}

void RawCaptureServer::Handle(int Socket) {
  // A client that never finishes its request must not hold the server for long.
  timeval Limit{5, 0};
  ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
  ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit);
  std::unique_ptr<SSL, TSslFree> Ssl;
  if (FContext) {
    Ssl.reset(SSL_new(FContext->Ctx.get()));
    if (!Ssl || SSL_set_fd(Ssl.get(), Socket) != 1 || SSL_accept(Ssl.get()) != 1) {
      ERR_clear_error();
      return;  // the client refused the certificate, or spoke no TLS
    }
  }
  auto Read = [&](char* Buffer, int Size) -> int {
    return Ssl ? SSL_read(Ssl.get(), Buffer, Size)
               : static_cast<int>(::recv(Socket, Buffer, static_cast<std::size_t>(Size), 0));
  };
  auto Write = [&](const char* Data, std::size_t Size) {
    while (Size > 0) {
      const int Chunk = static_cast<int>(std::min<std::size_t>(Size, 16384));
      const int N = Ssl ? SSL_write(Ssl.get(), Data, Chunk)
                        : static_cast<int>(
                              ::send(Socket, Data, static_cast<std::size_t>(Chunk), MSG_NOSIGNAL));
      if (N <= 0) return false;
      Data += N;
      Size -= static_cast<std::size_t>(N);
    }
    return true;
  };

  std::string Request;
  std::size_t Wanted = std::string::npos;  // the whole request's size, once the head is in
  char Buffer[4096];
  while (Wanted == std::string::npos || Request.size() < Wanted) {
    const int N = Read(Buffer, sizeof Buffer);
    if (N <= 0) break;
    Request.append(Buffer, static_cast<std::size_t>(N));
    if (Wanted == std::string::npos) {
      const auto End = Request.find("\r\n\r\n");
      if (End != std::string::npos) Wanted = End + 4 + ContentLength(Request.substr(0, End + 2));
    }
  }
  if (!Request.empty()) {
    std::lock_guard L(FMutex);
    FRequests.push_back(Request);
  }
  if (Write(FOptions.Reply.data(), FOptions.Reply.size()) && Ssl) SSL_shutdown(Ssl.get());
  ERR_clear_error();
}

}  // namespace zelk::testing
