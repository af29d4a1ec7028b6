// The HTTP engine on its own, over raw loopback sockets: the worker queue's time-out, the
// connection caps, keep-alive and pipelining, bodies and the handler's raw writes.
#include "platform/web/engine/HttpEngine.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace zelk::web::engine {
namespace {

using namespace std::chrono_literals;

// A client connection; reads time out after 10 s so that a server fault fails the test
// instead of hanging it.
class TClient {
 public:
  explicit TClient(int Port) {
    const timeval Timeout{10, 0};
    setsockopt(FD, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(Port));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = connect(FD, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  }
  ~TClient() { close(FD); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  void Send(const std::string& Bytes) const {
    ASSERT_EQ(send(FD, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(Bytes.size()));
  }
  // One whole answer (head and Content-Length body); empty when the server closed first.
  std::string Answer() {
    for (;;) {
      const auto End = Pending.find("\r\n\r\n");
      if (End != std::string::npos) {
        const auto L = Pending.find("Content-Length: ");
        const std::size_t Length =
            L != std::string::npos && L < End ? std::stoul(Pending.substr(L + 16)) : 0;
        if (Pending.size() >= End + 4 + Length) {
          std::string A = Pending.substr(0, End + 4 + Length);
          Pending.erase(0, A.size());
          return A;
        }
      }
      if (!Receive()) return {};
    }
  }
  // Everything until the server closes: "" for a close without a byte; "<reset>" for a reset.
  std::string Rest() {
    while (Receive()) {
    }
    return Reset ? "<reset>" : std::exchange(Pending, {});
  }

  // Rest() once this client has sent its last byte.
  std::string Finish() {
    shutdown(FD, SHUT_WR);
    return Rest();
  }

  const int FD = socket(AF_INET, SOCK_STREAM, 0);
  bool Connected = false;

 private:
  bool Receive() {
    char Buffer[4096];
    const ssize_t N = recv(FD, Buffer, sizeof Buffer, 0);
    if (N < 0 && errno == ECONNRESET) Reset = true;
    if (N <= 0) return false;
    Pending.append(Buffer, static_cast<std::size_t>(N));
    return true;
  }
  std::string Pending;
  bool Reset = false;
};

std::string Header(const std::string& Answer, const std::string& Name) {
  const auto P = Answer.find("\r\n" + Name + ": ");
  if (P == std::string::npos) return "<none>";
  const auto Start = P + Name.size() + 4;
  return Answer.substr(Start, Answer.find("\r\n", Start) - Start);
}

std::string Body(const std::string& Answer) {
  const auto P = Answer.find("\r\n\r\n");
  return P == std::string::npos ? "" : Answer.substr(P + 4);
}

// Echoes what the handler saw: method, target, body; "/block" waits for Release.
class EngineTest : public ::testing::Test {
 protected:
  void Start(TEngineOptions O) {
    O.Port = 0;
    Engine = std::make_unique<THttpEngine>(
        std::move(O),
        [this](const TEngineRequest& R, TEngineResponse& Out, TEngineConnection& Connection) {
          if (R.Target == "/block") {
            Blocked.set_value();
            Release.wait();
          } else if (R.Target == "/reset") {
            Connection.Reset();
            return;
          } else if (R.Target == "/raw") {
            Connection.WriteRaw("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab");
            Connection.WriteRaw("cdef");
            return;
          }
          Out.Headers.emplace_back("Content-Type", "text/plain");
          Out.Body = R.Method + " " + R.Target + " [" + R.Body + "]";
        });
    Engine->Start();
  }
  int Port() const { return Engine->Port(); }

  std::promise<void> Blocked;
  std::promise<void> Unblock;
  std::shared_future<void> Release = Unblock.get_future().share();
  std::unique_ptr<THttpEngine> Engine;

  void TearDown() override {
    try {
      Unblock.set_value();
    } catch (const std::future_error&) {
    }
    if (Engine) Engine->Stop();
  }
};

TEST_F(EngineTest, ARequestWaitingForAWorkerGets503AfterTheQueueTimeout) {
  TEngineOptions O;
  O.WorkerCount = 1;
  O.QueueTimeout = 200ms;
  Start(O);
  TClient Busy(Port());
  Busy.Send("GET /block HTTP/1.1\r\nHost: h\r\n\r\n");
  Blocked.get_future().wait();  // the only worker is held

  TClient Waiting(Port());
  Waiting.Send("GET /second HTTP/1.1\r\nHost: h\r\n\r\n");
  const std::string Refused = Waiting.Answer();
  EXPECT_TRUE(Refused.starts_with("HTTP/1.1 503 ")) << Refused;
  EXPECT_EQ(Header(Refused, "Connection"), "close");
  EXPECT_EQ(Waiting.Rest(), "");  // and the connection is closed

  Unblock.set_value();
  const std::string Served = Busy.Answer();
  EXPECT_TRUE(Served.starts_with("HTTP/1.1 200 ")) << Served;
  // The refused request never reached the handler: the worker is free for the next one.
  TClient After(Port());
  After.Send("GET /third HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(Body(After.Answer()), "GET /third []");
}

TEST_F(EngineTest, ConnectionsBeyondEitherCapAreClosedAtOnceWithoutAnAnswer) {
  for (const bool PerAddress : {true, false}) {
    SCOPED_TRACE(PerAddress ? "per address" : "in all");
    TEngineOptions O;
    O.MaxConnectionsPerAddress = PerAddress ? 2 : 100;
    O.MaxConnections = PerAddress ? 100 : 2;
    Start(O);
    auto First = std::make_unique<TClient>(Port());
    TClient Second(Port());
    // Both are served, so both were counted before the third arrives.
    First->Send("GET /1 HTTP/1.1\r\nHost: h\r\n\r\n");
    Second.Send("GET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(Body(First->Answer()), "GET /1 []");
    EXPECT_EQ(Body(Second.Answer()), "GET /2 []");
    EXPECT_EQ(Engine->ConnectionCount(), 2U);

    TClient Third(Port());
    ASSERT_TRUE(Third.Connected);  // the kernel accepts; the server closes it
    Third.Send("GET /3 HTTP/1.1\r\nHost: h\r\n\r\n");
    const std::string Refused = Third.Rest();
    EXPECT_TRUE(Refused.empty() || Refused == "<reset>") << Refused;

    // A slot freed is a slot for the next connection.
    First.reset();
    const auto Deadline = std::chrono::steady_clock::now() + 10s;
    while (Engine->ConnectionCount() > 1 && std::chrono::steady_clock::now() < Deadline)
      std::this_thread::yield();
    TClient Fourth(Port());
    Fourth.Send("GET /4 HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(Body(Fourth.Answer()), "GET /4 []");
    Engine->Stop();
  }
}

TEST_F(EngineTest, KeepAliveServesPipelinedRequestsInOrderAndClosesWhenAsked) {
  TEngineOptions O;
  O.KeepAliveTimeout = 1s;
  Start(O);
  {
    // Three requests in one write, the last asking to close.
    TClient C(Port());
    C.Send(
        "GET /a HTTP/1.1\r\nHost: h\r\n\r\n"
        "POST /b HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nxyz"
        "HEAD /c HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    const std::string A = C.Answer();
    const std::string B = C.Answer();
    EXPECT_EQ(Body(A), "GET /a []");
    EXPECT_EQ(Header(A, "Connection"), "<none>");
    EXPECT_EQ(Body(B), "POST /b [xyz]");
    // HEAD: the length of the body it would have, no body, and the close asked for.
    const std::string Rest = C.Rest();
    EXPECT_EQ(Header(Rest, "Content-Length"), "10");
    EXPECT_EQ(Header(Rest, "Connection"), "close");
    EXPECT_TRUE(Rest.ends_with("\r\n\r\n")) << Rest;
  }
  {
    // HTTP/1.0 closes unless it asks for keep-alive.
    TClient C(Port());
    C.Send("GET /old HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Header(C.Answer(), "Connection"), "close");
    EXPECT_EQ(C.Rest(), "");
    TClient K(Port());
    K.Send("GET /old HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(Header(K.Answer(), "Connection"), "keep-alive");
    K.Send("GET /again HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(Body(K.Answer()), "GET /again []");
  }
  {
    // An idle kept-alive connection is closed after KeepAliveTimeout, without an answer.
    TClient C(Port());
    C.Send("GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(Body(C.Answer()), "GET /a []");
    EXPECT_EQ(C.Rest(), "");
  }
}

TEST_F(EngineTest, BodiesArriveWholeWhateverTheirFramingAndOverTheLimitGet413) {
  TEngineOptions O;
  O.MaxBodyBytes = 10;
  Start(O);
  const struct {
    const char* Name;
    std::string Request;
    std::string Status;
    std::string Body;  // the answer's, when it is 200
  } Cases[] = {
      {"no length: an empty body", "POST /p HTTP/1.1\r\nHost: h\r\n\r\n", "200", "POST /p []"},
      {"chunked",
       "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: "
       "chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n",
       "200", "POST /p [abcde]"},
      {"at the limit", "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n0123456789", "200",
       "POST /p [0123456789]"},
      {"announced over the limit",
       "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 11\r\n\r\n01234567890", "413", ""},
      {"chunks over the limit",
       "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: "
       "chunked\r\n\r\n6\r\nabcdef\r\n6\r\nghijkl\r\n0\r\n\r\n",
       "413", ""},
      {"malformed chunk size",
       "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "400", ""},
  };
  for (const auto& C : Cases) {
    TClient Client(Port());
    Client.Send(C.Request);
    const std::string A = Client.Answer();
    EXPECT_TRUE(A.starts_with("HTTP/1.1 " + C.Status + " ")) << C.Name << "\n" << A;
    if (C.Status == "200") {
      EXPECT_EQ(Body(A), C.Body) << C.Name;
    } else {
      EXPECT_EQ(Header(A, "Connection"), "close") << C.Name;
      EXPECT_EQ(Client.Finish(), "") << C.Name;
    }
  }
  // A client that waits for "100 Continue" before its body gets it.
  TClient Client(Port());
  Client.Send("POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n");
  EXPECT_EQ(Client.Answer(), "HTTP/1.1 100 Continue\r\n\r\n");
  Client.Send("ok");
  EXPECT_EQ(Body(Client.Answer()), "POST /p [ok]");
}

// A chunked body is bounded part by part: a chunk line (size and extensions) at most 4096
// bytes (400), the trailer within MaxHeaderBytes (431), the body as sent within MaxBodyBytes
// and 64 KiB of framing (413), however the bytes are cut into reads. Bodies within the limits
// arrive whole, and what follows them on the connection is the next request.
TEST_F(EngineTest, ChunkedBodiesAreBoundedPartByPartAndWithinTheLimitsArriveWhole) {
  TEngineOptions O;
  O.MaxBodyBytes = 1024;
  O.MaxHeaderBytes = 2048;
  Start(O);
  const std::string Head = "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string Next = "GET /next HTTP/1.1\r\nHost: h\r\n\r\n";
  // Count chunks of one byte, each line carrying a 1 KiB extension.
  const auto Tiny = [](int Count) {
    std::string B;
    for (int I = 0; I < Count; ++I)
      B += "1;e=" + std::string(1020, 'e') + "\r\nx\r\n";
    return B + "0\r\n\r\n";
  };
  // The trailer of a last chunk, Bytes long with its blank line.
  const auto Trailer = [](std::size_t Bytes) {
    return "0\r\nX-T: " + std::string(Bytes - 9, 't') + "\r\n\r\n";
  };
  const struct {
    const char* Name;
    std::string Body;
    std::string Status;
    std::string Echo;  // the handler's answer when 200
  } Cases[] = {
      {"extensions and a short trailer",
       "4;name=value;q=\"a b\"\r\nWiki\r\n5\r\npedia\r\n0;last\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n",
       "200", "POST /p [Wikipedia]"},
      {"a chunk line of 4096 bytes", "1;" + std::string(4094, 'e') + "\r\nz\r\n0\r\n\r\n", "200",
       "POST /p [z]"},
      {"a chunk line of 4097 bytes", "1;" + std::string(4095, 'e') + "\r\nz\r\n0\r\n\r\n", "400",
       ""},
      {"a last chunk line of 4097 bytes", "0;" + std::string(4095, 'e') + "\r\n\r\n", "400", ""},
      {"a trailer of MaxHeaderBytes", Trailer(2048), "200", "POST /p []"},
      {"a trailer one byte over", Trailer(2049), "431", ""},
      {"50 one-byte chunks with 1 KiB extensions (51 KiB sent)", Tiny(50), "200",
       "POST /p [" + std::string(50, 'x') + "]"},
      {"70 one-byte chunks with 1 KiB extensions (71 KiB sent)", Tiny(70), "413", ""},
  };
  for (const auto& C : Cases) {
    // Whole in one write, and in pieces of 100 bytes (a chunk line or trailer split across
    // reads).
    for (const bool Pieces : {false, true}) {
      SCOPED_TRACE(std::string(C.Name) + (Pieces ? ", in pieces" : ", whole"));
      TClient Client(Port());
      const std::string Request = Head + C.Body + Next;
      if (Pieces) {
        for (std::size_t P = 0; P < Request.size(); P += 100)
          Client.Send(Request.substr(P, 100));
      } else {
        Client.Send(Request);
      }
      const std::string A = Client.Answer();
      ASSERT_TRUE(A.starts_with("HTTP/1.1 " + C.Status + " ")) << A.substr(0, 300);
      if (C.Status == "200") {
        EXPECT_EQ(Body(A), C.Echo);
        EXPECT_EQ(Body(Client.Answer()), "GET /next []");
      } else {
        EXPECT_EQ(Header(A, "Connection"), "close");
        EXPECT_EQ(Client.Finish(), "");  // the request behind is not served
      }
    }
  }
  // A chunked body after "100 Continue".
  TClient Client(Port());
  Client.Send(
      "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
      "Expect: 100-continue\r\n\r\n");
  EXPECT_EQ(Client.Answer(), "HTTP/1.1 100 Continue\r\n\r\n");
  Client.Send("2;x\r\nok\r\n0\r\nX-Sum: 2\r\n\r\n");
  EXPECT_EQ(Body(Client.Answer()), "POST /p [ok]");
}

TEST_F(EngineTest, AHandlerMayWriteItsAnswerItselfOrResetTheConnection) {
  Start({});
  TClient Raw(Port());
  Raw.Send("GET /raw HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(Raw.Rest(), "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabcdef");
  TClient Reset(Port());
  Reset.Send("GET /reset HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(Reset.Rest(), "<reset>");
}

TEST_F(EngineTest, AHeadThatDoesNotArriveInTimeClosesTheConnection) {
  TEngineOptions O;
  O.HeadTimeout = 300ms;
  Start(O);
  TClient C(Port());
  C.Send("GET /slow HTTP/1.1\r\nHo");
  EXPECT_EQ(C.Rest(), "");
  // A silent connection too.
  TClient Silent(Port());
  EXPECT_EQ(Silent.Rest(), "");
}

}  // namespace
}  // namespace zelk::web::engine
