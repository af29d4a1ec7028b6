// The web server against clients that attack it over raw sockets: connections that trickle their
// head, header floods, request framings that two HTTP parsers could read differently,
// connection caps per address and in all, and requests that wait too long for a worker.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/web/server/IWServer.h"
#include "support/LoopbackSocket.h"

namespace zelk::web {
namespace {

using namespace std::chrono_literals;
using zelk::testing::AnswerBody;
using zelk::testing::AnswerStatuses;
using zelk::testing::TLoopbackSocket;
using Clock = std::chrono::steady_clock;

const std::string kGet = "GET /app/ HTTP/1.1\r\nHost: localhost\r\n\r\n";

std::chrono::milliseconds Since(Clock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start);
}

int StatusOf(const std::string& Answer) {
  const auto S = AnswerStatuses(Answer);
  return S.empty() ? 0 : S.front();
}

// What an attacker saw who sent Prefix, then Filler again and again, as fast as the server took
// it, until the server closed the connection, Cap bytes were sent, or 3 s after an answer.
struct TFlood {
  std::string Received;
  bool Closed = false;
  std::size_t Sent = 0;
  std::size_t SentAtAnswer = 0;  // when the first whole answer arrived (Sent if none did)
};

TFlood Flood(int Port, const std::string& Prefix, const std::string& Filler, std::size_t Cap) {
  TFlood F;
  TLoopbackSocket S(Port);
  // A small send buffer: what was sent is then close to what the server has taken.
  const int SendBuffer = 32 << 10;
  setsockopt(S.FD, SOL_SOCKET, SO_SNDBUF, &SendBuffer, sizeof SendBuffer);
  if (!S.Connected() || !S.Send(Prefix)) {
    F.Closed = true;
    return F;
  }
  F.Sent = Prefix.size();
  std::size_t Offset = 0;
  std::optional<Clock::time_point> Answered;
  const auto Start = Clock::now();
  while (!F.Closed && F.Sent < Cap && Since(Start) < 20s) {
    const auto Read = S.Drain();
    F.Received += Read.Bytes;
    if (Read.Closed) F.Closed = true;
    if (!Answered && zelk::testing::CompleteAnswerSize(F.Received) > 0) {
      Answered = Clock::now();
      F.SentAtAnswer = F.Sent;
    }
    // An answer and an open connection: the server may still close it; give it a moment.
    if (Answered && Since(*Answered) > 3s) break;
    if (F.Closed) break;
    const long N = S.SendSome(std::string_view(Filler).substr(Offset));
    if (N < 0) {
      F.Closed = true;
      break;
    }
    F.Sent += static_cast<std::size_t>(N);
    Offset = (Offset + static_cast<std::size_t>(N)) % Filler.size();
    if (N == 0) {
      // The server is not reading: wait for it to read more, answer or close.
      const auto More = S.ReadUntilClosed(20ms);
      F.Received += More.Bytes;
      F.Closed = More.Closed;
    }
  }
  if (!F.Closed) {
    const auto Rest = S.ReadUntilClosed(3s);
    F.Received += Rest.Bytes;
    F.Closed = Rest.Closed;
  }
  if (!Answered) F.SentAtAnswer = F.Sent;
  return F;
}

class ServerLimitsTest : public ::testing::Test {
 protected:
  TIWServerControllerBase Controller{nullptr};
  std::unique_ptr<TIWServer> Server;

  // The blocking page: Entered counts the requests inside it, Released lets them go.
  std::mutex BlockMutex;
  std::condition_variable BlockChanged;
  int Entered = 0;
  bool Released = false;

  static TIWServerOptions Defaults() {
    TIWServerOptions O;
    O.Port = 0;
    O.ApplicationPath = "/app";
    return O;
  }

  void StartServer(TIWServerOptions O) {
    Server = std::make_unique<TIWServer>(Controller, std::move(O));
    Server->AddRoute("GET", "/", [](TIWApplication&, const THttpRequest&, THttpResponse& Out) {
      Out.SetContent("ok", "text/plain");
    });
    Server->AddRoute(
        "POST", "/echo", [](TIWApplication&, const THttpRequest& R, THttpResponse& Out) {
          Out.SetContent("length=" + std::to_string(R.Body().size()) + " body=" + R.Body(),
                         "text/plain");
        });
    Server->AddRoute("GET", "/block",
                     [this](TIWApplication&, const THttpRequest&, THttpResponse& Out) {
                       std::unique_lock L(BlockMutex);
                       ++Entered;
                       BlockChanged.notify_all();
                       // Bounded, so that a broken server cannot hang the test for ever.
                       BlockChanged.wait_for(L, 30s, [this] { return Released; });
                       Out.SetContent("released", "text/plain");
                     });
    Server->Start();
  }

  void Release() {
    std::lock_guard L(BlockMutex);
    Released = true;
    BlockChanged.notify_all();
  }

  bool WaitEntered(int Count, std::chrono::milliseconds Within) {
    std::unique_lock L(BlockMutex);
    return BlockChanged.wait_for(L, Within, [&] { return Entered >= Count; });
  }

  void TearDown() override {
    Release();
    if (Server) Server->Stop();
  }

  // A GET of the start page on a new connection from From, kept open: the connection when it
  // was answered 200, nullptr otherwise.
  std::unique_ptr<TLoopbackSocket> Served(const std::string& From) {
    auto S = std::make_unique<TLoopbackSocket>(Server->Port(), From);
    if (!S->Connected() || !S->Send(kGet)) return nullptr;
    const auto A = S->ReadAnswer(5s);
    return StatusOf(A.Bytes) == 200 && !A.Closed ? std::move(S) : nullptr;
  }
};

// More connections than workers each send one byte of a head every 250 ms and never finish it.
// They hold no worker: a new browser's request is answered while they are all still open; and
// each is cut once its head has taken HeadTimeout, without a page.
TEST_F(ServerLimitsTest, TricklingClientsDoNotStarveOthersAndAreCutAtTheHeadTimeout) {
  TIWServerOptions O = Defaults();
  O.WorkerCount = 4;
  O.HeadTimeout = 3s;
  StartServer(O);

  // More than the workers, and more than a thread-per-connection server would run at once.
  constexpr int kTricklers = 80;
  const std::string Head =
      "GET /app/ HTTP/1.1\r\nHost: localhost\r\nX-Slow: " + std::string(400, 'a');
  struct TTrickler {
    std::unique_ptr<TLoopbackSocket> Socket;
    Clock::time_point Start;
    std::size_t Sent = 0;
    std::optional<std::chrono::milliseconds> ClosedAfter;
    std::string Received;
  };
  std::vector<TTrickler> Tricklers(kTricklers);
  for (auto& T : Tricklers) {
    T.Start = Clock::now();
    T.Socket = std::make_unique<TLoopbackSocket>(Server->Port());
    ASSERT_TRUE(T.Socket->Connected());
  }

  std::mutex ProgressMutex;
  std::condition_variable Progress;
  int Rounds = 0;
  int Cut = 0;
  const auto Limit = Clock::now() + O.HeadTimeout + 6s;
  // A jthread: joined even when an assertion below leaves the test early.
  std::jthread Trickle([&] {
    for (;;) {
      int Open = 0;
      for (auto& T : Tricklers) {
        if (T.ClosedAfter) continue;
        const auto Read = T.Socket->Drain();
        T.Received += Read.Bytes;
        if (Read.Closed || T.Socket->SendSome(std::string_view(Head).substr(T.Sent, 1)) < 0) {
          T.ClosedAfter = Since(T.Start);
          std::lock_guard L(ProgressMutex);
          ++Cut;
          continue;
        }
        T.Sent = std::min(T.Sent + 1, Head.size() - 1);
        ++Open;
      }
      {
        std::lock_guard L(ProgressMutex);
        ++Rounds;
      }
      Progress.notify_all();
      if (Open == 0 || Clock::now() > Limit) return;
      // The attacker's pace, not a synchronisation.
      std::this_thread::sleep_for(250ms);
    }
  });

  // Once every trickler has sent a few bytes, a new browser comes.
  {
    std::unique_lock L(ProgressMutex);
    Progress.wait_for(L, 10s, [&] { return Rounds >= 3; });
  }
  const auto ProbeStart = Clock::now();
  TLoopbackSocket Probe(Server->Port());
  ASSERT_TRUE(Probe.Connected());
  ASSERT_TRUE(Probe.Send(kGet));
  const auto Answer = Probe.ReadAnswer(5s);
  const auto ProbeTime = Since(ProbeStart);
  int CutBeforeAnswer = 0;
  {
    std::lock_guard L(ProgressMutex);
    CutBeforeAnswer = Cut;
  }
  Trickle.join();

  EXPECT_EQ(StatusOf(Answer.Bytes), 200) << Answer.Bytes;
  EXPECT_LT(ProbeTime, 2s) << "the new request waited behind the trickling connections";
  EXPECT_EQ(CutBeforeAnswer, 0)
      << "the new request was answered only after trickling ones were cut";
  for (std::size_t I = 0; I < Tricklers.size(); ++I) {
    const TTrickler& T = Tricklers[I];
    SCOPED_TRACE("trickling connection " + std::to_string(I));
    ASSERT_TRUE(T.ClosedAfter.has_value()) << "never cut (sent " << T.Sent << " bytes)";
    EXPECT_GE(*T.ClosedAfter, O.HeadTimeout - 300ms);
    EXPECT_LE(*T.ClosedAfter, O.HeadTimeout + 4s);
    // Cut without a page: at most a 408.
    if (!T.Received.empty()) {
      EXPECT_EQ(StatusOf(T.Received), 408) << T.Received;
    }
  }
}

// A head that never ends is answered with its status once the limit is passed, and the server
// stops reading there: the connection is closed long before the flood is all sent, so what the
// server holds stays bounded by the limit, not by what the client sends.
TEST_F(ServerLimitsTest, HeaderFloodsAreRefusedAtTheLimitAndTheConnectionClosed) {
  StartServer(Defaults());
  struct TRow {
    const char* Name;
    std::string Prefix;
    std::string Filler;  // repeated for ever after the prefix
    int Status;
  };
  const std::string Start = "GET /app/ HTTP/1.1\r\nHost: localhost\r\n";
  std::string ShortLines;
  for (int I = 0; I < 4096; ++I)
    ShortLines += "X-F: 1\r\n";
  const std::vector<TRow> Rows = {
      {"many short header lines", Start, ShortLines, 431},
      {"one header line without end", Start + "X-Big: ", std::string(65536, 'a'), 431},
      {"header lines of 1 KiB", Start,
       [] {
         std::string S;
         for (int I = 0; I < 64; ++I)
           S += "X-Line-" + std::to_string(I) + ": " + std::string(1000, 'b') + "\r\n";
         return S;
       }(),
       431},
      {"request target without end", "GET /app/?q=", std::string(65536, 'c'), 414},
  };
  constexpr std::size_t kFlood = std::size_t{48} << 20;

  for (const TRow& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    const TFlood F = Flood(Server->Port(), Row.Prefix, Row.Filler, kFlood);
    EXPECT_EQ(StatusOf(F.Received), Row.Status) << F.Received.substr(0, 300);
    EXPECT_TRUE(F.Closed) << "the connection stayed open after the refusal";
    EXPECT_LT(F.Sent, kFlood) << "the server read the whole flood";
  }

  // Heads just within the limits are served.
  std::string Lines;
  for (int I = 0; I < 90; ++I)
    Lines += "X-Line-" + std::to_string(I) + ": " + std::string(150, 'd') + "\r\n";
  const std::vector<std::string> Within = {
      Start + Lines + "\r\n",
      "GET /app/?q=" + std::string(8000, 'e') + " HTTP/1.1\r\nHost: localhost\r\n\r\n",
  };
  for (const std::string& Request : Within) {
    TLoopbackSocket S(Server->Port());
    ASSERT_TRUE(S.Connected());
    ASSERT_TRUE(S.Send(Request));
    EXPECT_EQ(StatusOf(S.ReadAnswer(5s).Bytes), 200) << Request.size() << " bytes";
  }
}

// A chunked body that never ends in one of its parts (a chunk line, the trailer, the body) is
// answered while the attacker is still sending, and the connection closed: Beast needs a chunk
// line or the trailer whole before it decodes it, so the server checks what it holds of them
// after every read instead of buffering until they end.
TEST_F(ServerLimitsTest, ChunkedBodiesWithoutEndAreRefusedWhileTheyArrive) {
  TIWServerOptions O = Defaults();
  O.MaxBodyBytes = std::size_t{64} << 10;
  StartServer(O);
  const std::string Head =
      "POST /app/echo HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct TRow {
    const char* Name;
    std::string Prefix;  // after the head
    std::string Filler;  // repeated for ever
    int Status;
    std::string Says;
  };
  const std::string LongLine = "a chunk line of the body is longer than 4096 bytes.";
  const std::vector<TRow> Rows = {
      {"a chunk extension without end", "1;", std::string(65536, 'a'), 400, LongLine},
      {"an extension value without end", "3\r\nabc\r\n1;name=", std::string(65536, 'v'), 400,
       LongLine},
      {"a chunk size of endless zeros", "", std::string(65536, '0'), 400, LongLine},
      {"trailer lines without end", "3\r\nabc\r\n0\r\n", "X-Trailer: 1\r\n", 431,
       "trailer lines after its chunked body are longer than 16384 bytes together."},
      {"one trailer line without end", "0\r\nX-Trailer: ", std::string(65536, 't'), 431,
       "trailer lines after its chunked body are longer than 16384 bytes together."},
      {"one-byte chunks with 1 KiB extensions", "", "1;e=" + std::string(1020, 'e') + "\r\nx\r\n",
       413,
       "At most 65536 bytes are accepted, and its chunk lines and trailer may add at most 65536 "
       "bytes."},
      {"chunks of data without end", "", "1000\r\n" + std::string(4096, 'd') + "\r\n", 413,
       "its body is too large."},
  };
  constexpr std::size_t kFlood = std::size_t{48} << 20;
  // Far beyond every limit here, far below what an unbounded read would have taken.
  constexpr std::size_t kAnsweredWithin = std::size_t{4} << 20;
  for (const TRow& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    const TFlood F = Flood(Server->Port(), Head + Row.Prefix, Row.Filler, kFlood);
    EXPECT_EQ(AnswerStatuses(F.Received), std::vector<int>{Row.Status})
        << F.Received.substr(0, 300);
    EXPECT_NE(AnswerBody(F.Received).find(Row.Says), std::string::npos)
        << AnswerBody(F.Received).substr(0, 600);
    EXPECT_TRUE(F.Closed) << "the connection stayed open after the refusal";
    EXPECT_LT(F.SentAtAnswer, kAnsweredWithin)
        << "answered only after " << F.SentAtAnswer << " bytes";
  }
  // The server serves on.
  TLoopbackSocket S(Server->Port());
  ASSERT_TRUE(S.Send(Head + "2;x=y\r\nok\r\n0\r\nX-Sum: 1\r\n\r\n"));
  EXPECT_EQ(AnswerBody(S.ReadAnswer(5s).Bytes), "length=2 body=ok");
}

// HTTP/1.1 needs exactly one Host line, HTTP/1.0 at most one; an empty Host is served (the
// server gives it the address the request reached). A refusal closes the connection, so the
// request behind it is not served.
TEST_F(ServerLimitsTest, HostLinesOneInHttp11AtMostOneInHttp10) {
  StartServer(Defaults());
  const struct {
    const char* Name;
    std::string Request;
    int Status;
    std::string Says;
  } Rows[] = {
      {"1.1 without Host", "GET /app/ HTTP/1.1\r\nAccept: */*\r\n\r\n", 400,
       "Bad request: the request could not be read. An HTTP/1.1 request must have a Host "
       "header."},
      {"1.1 with only look-alikes of Host",
       "GET /app/ HTTP/1.1\r\nX-Forwarded-Host: localhost\r\nHosts: localhost\r\n\r\n", 400,
       "An HTTP/1.1 request must have a Host header."},
      {"1.1 with two Hosts", "GET /app/ HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n",
       400,
       "Bad request: the request could not be read. The request has more than one Host header."},
      {"1.0 with two Hosts", "GET /app/ HTTP/1.0\r\nHost: localhost\r\nhost: localhost\r\n\r\n",
       400, "The request has more than one Host header."},
      {"1.0 without Host", "GET /app/ HTTP/1.0\r\n\r\n", 200, "ok"},
      {"1.1 with an empty Host", "GET /app/ HTTP/1.1\r\nHost:\r\nConnection: close\r\n\r\n", 200,
       "ok"},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    TLoopbackSocket S(Server->Port());
    ASSERT_TRUE(S.Connected());
    ASSERT_TRUE(S.Send(Row.Request + (Row.Status == 200 ? "" : kGet)));
    const auto Read = S.ReadUntilClosed(5s);
    EXPECT_EQ(AnswerStatuses(Read.Bytes), std::vector<int>{Row.Status})
        << Read.Bytes.substr(0, 300);
    EXPECT_NE(AnswerBody(Read.Bytes).find(Row.Says), std::string::npos)
        << AnswerBody(Read.Bytes).substr(0, 600);
    EXPECT_TRUE(Read.Closed) << "the connection stayed open";
  }
}

// Framings that a proxy in front might read differently from this server are refused with 400
// and the connection closed, so that nothing smuggled behind them is served as a request of
// its own. Well-framed requests on the same connection are all served.
TEST_F(ServerLimitsTest, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
  StartServer(Defaults());
  const std::string Second = "GET /app/ HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const std::string Post = "POST /app/echo HTTP/1.1\r\nHost: localhost\r\n";
  struct TRow {
    const char* Name;
    std::string Request;
  };
  const std::vector<TRow> Refused = {
      {"Content-Length with Transfer-Encoding",
       Post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      {"Transfer-Encoding with Content-Length",
       Post + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n"},
      {"two different Content-Lengths",
       Post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!"},
      {"two equal Content-Lengths", Post + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello"},
      {"Content-Length not all digits", Post + "Content-Length: 5x\r\n\r\nhello"},
      {"signed Content-Length", Post + "Content-Length: +5\r\n\r\nhello"},
      {"Transfer-Encoding other than chunked", Post + "Transfer-Encoding: gzip\r\n\r\n"},
      {"blank before the colon", Post + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n"},
      {"blank inside a header name", "GET /app/ HTTP/1.1\r\nHost: localhost\r\nX Name: v\r\n\r\n"},
      {"tab inside a header name", "GET /app/ HTTP/1.1\r\nHost: localhost\r\nX\tName: v\r\n\r\n"},
      {"obsolete line folding",
       "GET /app/ HTTP/1.1\r\nHost: localhost\r\nX-Folded: one\r\n two\r\n\r\n"},
      {"bare LF line ends", "GET /app/ HTTP/1.1\nHost: localhost\n\n"},
      {"one bare LF among CRLFs", "GET /app/ HTTP/1.1\r\nHost: localhost\nX-A: b\r\n\r\n"},
  };
  for (const TRow& Row : Refused) {
    SCOPED_TRACE(Row.Name);
    TLoopbackSocket S(Server->Port());
    ASSERT_TRUE(S.Connected());
    // A valid request right behind: it must not be served on this connection.
    S.Send(Row.Request + Second);
    const auto Read = S.ReadUntilClosed(3s);
    EXPECT_EQ(AnswerStatuses(Read.Bytes), std::vector<int>{400}) << Read.Bytes.substr(0, 300);
    EXPECT_TRUE(Read.Closed) << "the connection stayed open";
  }

  // Well framed, then a second request on the same connection: both are served, and the first
  // one's body is exactly what its framing says (a byte left over or taken too many would spoil
  // the second request).
  const std::vector<std::pair<TRow, std::string>> Served = {
      {{"Content-Length", Post + "Content-Length: 5\r\n\r\nhello"}, "length=5 body=hello"},
      {{"chunked", Post + "Transfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n"},
       "length=5 body=hello"},
      {{"POST without Content-Length", Post + "\r\n"}, "length=0 body="},
      {{"Content-Length: 0", Post + "Content-Length: 0\r\n\r\n"}, "length=0 body="},
  };
  for (const auto& [Row, Body] : Served) {
    SCOPED_TRACE(Row.Name);
    TLoopbackSocket S(Server->Port());
    ASSERT_TRUE(S.Connected());
    ASSERT_TRUE(S.Send(Row.Request));
    const auto First = S.ReadAnswer(5s);
    EXPECT_EQ(StatusOf(First.Bytes), 200) << First.Bytes;
    EXPECT_EQ(AnswerBody(First.Bytes), Body);
    ASSERT_TRUE(S.Send(Second));
    const auto Next = S.ReadAnswer(5s);
    EXPECT_EQ(StatusOf(Next.Bytes), 200) << Next.Bytes;
    EXPECT_EQ(AnswerBody(Next.Bytes), "ok");
  }
}

// Beyond MaxConnectionsPerAddress from one address, or MaxConnections in all, a new connection
// is closed at once without an answer, and the connections already open go on being served.
// A closed connection frees its place.
TEST_F(ServerLimitsTest, ConnectionCapsPerAddressAndInAll) {
  TIWServerOptions O = Defaults();
  O.MaxConnectionsPerAddress = 3;
  O.MaxConnections = 5;
  // Held connections must not end by time-out during the test.
  O.KeepAliveTimeout = 60s;
  O.HeadTimeout = 60s;
  StartServer(O);

  // Refused: closed within a moment without a byte (nothing is sent on it, so that the close is
  // the server's own decision, not a reply to a request).
  const auto ExpectRefused = [this](const std::string& From) {
    SCOPED_TRACE("a connection from " + From);
    TLoopbackSocket S(Server->Port(), From);
    ASSERT_TRUE(S.Connected());
    const auto Read = S.ReadUntilClosed(3s);
    EXPECT_TRUE(Read.Closed) << "not closed";
    EXPECT_EQ(Read.Bytes, "");
  };
  // A place freed by a close is taken again once the server has seen the close.
  const auto ServedSoon = [this](const std::string& From) {
    const auto Start = Clock::now();
    for (;;) {
      if (auto S = Served(From)) return S;
      if (Since(Start) > 5s) return std::unique_ptr<TLoopbackSocket>();
      std::this_thread::yield();
    }
  };

  std::vector<std::unique_ptr<TLoopbackSocket>> A;  // from 127.0.0.1
  for (int I = 0; I < 3; ++I) {
    A.push_back(Served("127.0.0.1"));
    ASSERT_NE(A.back(), nullptr) << "connection " << I << " from 127.0.0.1 was not served";
  }
  ExpectRefused("127.0.0.1");

  std::vector<std::unique_ptr<TLoopbackSocket>> B;  // from 127.0.0.2
  for (int I = 0; I < 2; ++I) {
    B.push_back(Served("127.0.0.2"));
    ASSERT_NE(B.back(), nullptr) << "connection " << I << " from 127.0.0.2 was not served";
  }
  // Five in all: refused from any address.
  ExpectRefused("127.0.0.3");
  ExpectRefused("127.0.0.2");

  // The open ones are still served, on their own connections.
  for (auto* S : {A[1].get(), B[0].get()}) {
    ASSERT_TRUE(S->Send(kGet));
    EXPECT_EQ(StatusOf(S->ReadAnswer(5s).Bytes), 200);
  }

  // One from 127.0.0.1 closes: its address (and the total) has room for one again.
  A[0]->Close();
  auto Again = ServedSoon("127.0.0.1");
  EXPECT_NE(Again, nullptr) << "the closed connection's place was not freed";
  ExpectRefused("127.0.0.3");

  // One from 127.0.0.2 closes: a third address gets in.
  B[0]->Close();
  auto Third = ServedSoon("127.0.0.3");
  EXPECT_NE(Third, nullptr) << "the closed connection's place was not freed";
  ExpectRefused("127.0.0.1");
}

// A trusted reverse proxy carries every browser's connection: the per-address cap does not
// apply to it, the total cap still does, and other addresses stay capped.
TEST_F(ServerLimitsTest, ATrustedProxyIsNotCappedPerAddress) {
  TIWServerOptions O = Defaults();
  O.MaxConnectionsPerAddress = 2;
  O.MaxConnections = 5;
  O.TrustedProxies = {"127.0.0.1"};
  O.KeepAliveTimeout = 60s;
  O.HeadTimeout = 60s;
  StartServer(O);

  std::vector<std::unique_ptr<TLoopbackSocket>> Held;
  for (int I = 0; I < 3; ++I) {
    Held.push_back(Served("127.0.0.1"));
    ASSERT_NE(Held.back(), nullptr) << "connection " << I << " from the proxy was not served";
  }
  for (int I = 0; I < 2; ++I) {
    Held.push_back(Served("127.0.0.2"));
    ASSERT_NE(Held.back(), nullptr) << "connection " << I << " from 127.0.0.2 was not served";
  }
  for (const char* From : {"127.0.0.1", "127.0.0.3"}) {
    SCOPED_TRACE(std::string("over the total, from ") + From);
    TLoopbackSocket S(Server->Port(), From);
    ASSERT_TRUE(S.Connected());
    const auto Read = S.ReadUntilClosed(3s);
    EXPECT_TRUE(Read.Closed) << "not closed";
    EXPECT_EQ(Read.Bytes, "");
  }
  Held[3]->Close();
  Held[3].reset();
  // One closes: the total has room again, and the proxy takes it.
  const auto Start = Clock::now();
  std::unique_ptr<TLoopbackSocket> Again;
  while (!Again && Since(Start) < 5s)
    Again = Served("127.0.0.1");
  EXPECT_NE(Again, nullptr) << "the proxy got no connection once the total had room";
}

// With every worker busy, a request waits at most QueueTimeout for one: then it is answered 503
// and its connection closed. The busy request is served to its end, and once a worker is free
// new requests are served again.
TEST_F(ServerLimitsTest, RequestsWaitingForAWorkerGet503AfterTheQueueTimeout) {
  TIWServerOptions O = Defaults();
  O.WorkerCount = 1;
  O.QueueTimeout = 600ms;
  StartServer(O);

  TLoopbackSocket Busy(Server->Port());
  ASSERT_TRUE(Busy.Connected());
  ASSERT_TRUE(Busy.Send("GET /app/block HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  ASSERT_TRUE(WaitEntered(1, 10s)) << "the blocking page was never called";

  const auto Start = Clock::now();
  TLoopbackSocket Waiting(Server->Port());
  ASSERT_TRUE(Waiting.Connected());
  ASSERT_TRUE(Waiting.Send(kGet + kGet));
  const auto Read = Waiting.ReadUntilClosed(O.QueueTimeout + 5s);
  const auto Waited = Since(Start);
  EXPECT_EQ(AnswerStatuses(Read.Bytes), std::vector<int>{503}) << Read.Bytes.substr(0, 300);
  EXPECT_TRUE(Read.Closed) << "the connection stayed open after the 503";
  EXPECT_GE(Waited, O.QueueTimeout - 100ms) << "answered 503 before the queue time-out";

  Release();
  const auto Done = Busy.ReadAnswer(5s);
  EXPECT_EQ(StatusOf(Done.Bytes), 200);
  EXPECT_EQ(AnswerBody(Done.Bytes), "released");

  TLoopbackSocket After(Server->Port());
  ASSERT_TRUE(After.Connected());
  ASSERT_TRUE(After.Send(kGet));
  const auto Next = After.ReadAnswer(5s);
  EXPECT_EQ(StatusOf(Next.Bytes), 200) << Next.Bytes;
  EXPECT_EQ(AnswerBody(Next.Bytes), "ok");
}

}  // namespace
}  // namespace zelk::web
