#include "sim/SimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zelk::sim {

namespace {

constexpr char kMaskedQuestionMark = '\x7f';

struct TSslFree {
  void operator()(SSL* S) const noexcept { SSL_free(S); }
};

// Closes the accepted socket on every path, as httplib's own handler would.
class TSocketCloser {
 public:
  explicit TSocketCloser(int Socket) : FSocket(Socket) {}
  ~TSocketCloser() {
    ::shutdown(FSocket, SHUT_RDWR);
    ::close(FSocket);
  }
  TSocketCloser(const TSocketCloser&) = delete;
  TSocketCloser& operator=(const TSocketCloser&) = delete;

 private:
  int FSocket;
};

void Address(int Socket, bool Peer, std::string& Ip, int& Port) {
  sockaddr_storage A{};
  socklen_t L = sizeof A;
  const int R = Peer ? ::getpeername(Socket, reinterpret_cast<sockaddr*>(&A), &L)
                     : ::getsockname(Socket, reinterpret_cast<sockaddr*>(&A), &L);
  Ip.clear();
  Port = 0;
  if (R != 0 || A.ss_family != AF_INET) return;
  const auto* In = reinterpret_cast<const sockaddr_in*>(&A);
  char Text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &In->sin_addr, Text, sizeof Text);
  Ip = Text;
  Port = ntohs(In->sin_port);
}

// A TLS stream over a blocking socket (time-outs set on the socket) that keeps every byte read
// since the last Restart.
class TRecordingStream : public httplib::Stream {
 public:
  TRecordingStream(SSL* Ssl, int Socket) : FSsl(Ssl), FSocket(Socket) {}

  void Restart() {
    FRead.clear();
    FInRequestLine = true;
    FSeenQuestionMark = false;
  }
  const std::string& Read() const { return FRead; }

  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }
  ssize_t read(char* Buffer, size_t Size) override {
    const int N = SSL_read(FSsl, Buffer, static_cast<int>(std::min<size_t>(Size, 1 << 20)));
    if (N <= 0) {
      ERR_clear_error();
      return -1;
    }
    FRead.append(Buffer, static_cast<size_t>(N));
    MaskExtraQuestionMarks(Buffer, static_cast<size_t>(N));
    return N;
  }
  ssize_t write(const char* Data, size_t Size) override {
    size_t Done = 0;
    while (Done < Size) {
      const int N =
          SSL_write(FSsl, Data + Done, static_cast<int>(std::min<size_t>(Size - Done, 1 << 20)));
      if (N <= 0) {
        ERR_clear_error();
        return -1;
      }
      Done += static_cast<size_t>(N);
    }
    return static_cast<ssize_t>(Size);
  }
  void get_remote_ip_and_port(std::string& Ip, int& Port) const override {
    Address(FSocket, true, Ip, Port);
  }
  void get_local_ip_and_port(std::string& Ip, int& Port) const override {
    Address(FSocket, false, Ip, Port);
  }
  socket_t socket() const override { return FSocket; }

 private:
  // httplib refuses a request target with a second "?", which a query may hold (RFC 3986) and
  // return addresses sent unencoded do ("redirect_uri=http://host/app/?clientid=..."). Its parser
  // gets such a "?" replaced by a byte of the same length; the raw head keeps the target as sent.
  void MaskExtraQuestionMarks(char* Buffer, size_t Size) {
    for (size_t I = 0; I < Size && FInRequestLine; ++I) {
      if (Buffer[I] == '\n') {
        FInRequestLine = false;
      } else if (Buffer[I] == '?') {
        if (FSeenQuestionMark) Buffer[I] = kMaskedQuestionMark;
        FSeenQuestionMark = true;
      }
    }
  }

  SSL* FSsl;
  int FSocket;
  std::string FRead;
  bool FInRequestLine = true;
  bool FSeenQuestionMark = false;
};

thread_local const TRecordingStream* tServing = nullptr;

// Whether another request arrives on the connection within Seconds.
bool WaitForNextRequest(SSL* Ssl, int Socket, time_t Seconds) {
  if (SSL_pending(Ssl) > 0) return true;
  pollfd P{Socket, POLLIN, 0};
  return ::poll(&P, 1, static_cast<int>(Seconds * 1000)) > 0 && (P.revents & POLLIN) != 0;
}

}  // namespace

TSimServer::TSimServer(X509* Certificate, EVP_PKEY* PrivateKey)
    : httplib::SSLServer(Certificate, PrivateKey) {}

std::string TSimServer::CurrentRawHead() {
  if (tServing == nullptr) return {};
  const std::string& R = tServing->Read();
  const auto End = R.find("\r\n\r\n");
  return End == std::string::npos ? R : R.substr(0, End + 4);
}

void TSimServer::ResetCurrentConnection() {
  if (tServing == nullptr) return;
  const int Socket = tServing->socket();
  // A zero linger time makes the last close of the socket send a reset instead of a FIN.
  const linger Abort{1, 0};
  ::setsockopt(Socket, SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
  // The descriptor's number stays in use until the connection's handling ends (closing it here
  // could hand the number to another connection while this one still writes to it): /dev/null
  // takes its place, which closes the socket now, and swallows the answer that follows.
  const int Null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (Null < 0) return;
  ::dup2(Null, Socket);
  ::close(Null);
}

bool TSimServer::process_and_close_socket(socket_t Socket) {
  TSocketCloser Closer(Socket);
  const timeval ReadLimit{read_timeout_sec_, static_cast<suseconds_t>(read_timeout_usec_)};
  const timeval WriteLimit{write_timeout_sec_, static_cast<suseconds_t>(write_timeout_usec_)};
  ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &ReadLimit, sizeof ReadLimit);
  ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &WriteLimit, sizeof WriteLimit);

  std::unique_ptr<SSL, TSslFree> Ssl(SSL_new(ssl_context()));
  if (!Ssl || SSL_set_fd(Ssl.get(), Socket) != 1 || SSL_accept(Ssl.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  TRecordingStream Stream(Ssl.get(), Socket);
  bool Result = true;
  bool Closed = false;
  for (size_t Count = keep_alive_max_count_; Count > 0 && !Closed; --Count) {
    if (Count != keep_alive_max_count_ &&
        (svr_sock_ == INVALID_SOCKET ||
         !WaitForNextRequest(Ssl.get(), Socket, keep_alive_timeout_sec_)))
      break;
    Stream.Restart();
    tServing = &Stream;
    Result = process_request(Stream, Count == 1, Closed,
                             [&](httplib::Request& Request) { Request.ssl = Ssl.get(); });
    tServing = nullptr;
    if (!Result) break;
  }
  // A connection dropped on purpose (a fault) ends without close_notify, as a cut would.
  if (Result) SSL_shutdown(Ssl.get());
  ERR_clear_error();
  return Result;
}

}  // namespace zelk::sim
