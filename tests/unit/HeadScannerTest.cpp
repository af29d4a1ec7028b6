#include "platform/web/engine/HeadScanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelk::web::engine {
namespace {

using TState = THeadScanner::TState;

// Feeds Bytes to a scanner one byte more at a time, as a slow client would send them.
TState ScanByteByByte(THeadScanner& S, const std::string& Bytes) {
  TState State = TState::Incomplete;
  for (std::size_t N = 1; N <= Bytes.size() && State == TState::Incomplete; ++N)
    State = S.Scan(std::string_view(Bytes).substr(0, N));
  return State;
}

TEST(HeadScanner, ReadsAHeadWholeOrByteByByteAndLeavesTheBodyAlone) {
  const std::string Head =
      "\r\nPOST /app/form?a=1&b=?x HTTP/1.1\r\nHost: h:1\r\nX-Empty:\r\n"
      "Content-Type:  application/x-www-form-urlencoded \t\r\ncontent-length: 5\r\n\r\n";
  for (const bool Slowly : {false, true}) {
    THeadScanner S;
    const TState State = Slowly ? ScanByteByByte(S, Head + "msg=x") : S.Scan(Head + "msg=x");
    ASSERT_EQ(State, TState::Complete) << S.Reason();
    EXPECT_EQ(S.HeadLength(), Head.size());
    EXPECT_EQ(S.Head().Method, "POST");
    EXPECT_EQ(S.Head().Target, "/app/form?a=1&b=?x");
    EXPECT_EQ(S.Head().Version, "HTTP/1.1");
    const std::vector<std::pair<std::string, std::string>> Expected = {
        {"Host", "h:1"},
        {"X-Empty", ""},
        {"Content-Type", "application/x-www-form-urlencoded"},
        {"content-length", "5"}};
    EXPECT_EQ(S.Head().Headers, Expected);
    EXPECT_TRUE(S.Head().HasContentLength);
    EXPECT_EQ(S.Head().ContentLength, 5U);
    EXPECT_FALSE(S.Head().Chunked);
  }
  THeadScanner S;
  ASSERT_EQ(S.Scan("GET / HTTP/1.0\r\nTransfer-Encoding: x\r\n"), TState::Failed);
  S.Reset();
  EXPECT_EQ(S.Scan("GET / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: Chunked\r\n\r\n"),
            TState::Complete);
  EXPECT_TRUE(S.Head().Chunked);
  EXPECT_EQ(S.Fault(), THeadFault::None);
}

// Every framing a proxy could read differently is refused.
TEST(HeadScanner, RefusesEveryAmbiguousFraming) {
  const std::string Get = "GET /app/ HTTP/1.1\r\nHost: h\r\n";
  const std::string Post = "POST /app/form HTTP/1.1\r\nHost: h\r\n";
  const struct {
    const char* Name;
    std::string Head;
  } Cases[] = {
      {"Content-Length and Transfer-Encoding",
       Post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"},
      {"Transfer-Encoding and Content-Length",
       Post + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n"},
      {"two equal Content-Lengths", Post + "Content-Length: 5\r\nContent-Length: 5\r\n\r\n"},
      {"two different Content-Lengths", Post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n"},
      {"a list of Content-Lengths", Post + "Content-Length: 5, 5\r\n\r\n"},
      {"Content-Length with a letter", Post + "Content-Length: 5x\r\n\r\n"},
      {"signed Content-Length", Post + "Content-Length: +5\r\n\r\n"},
      {"empty Content-Length", Post + "Content-Length:\r\n\r\n"},
      {"huge Content-Length", Post + "Content-Length: 99999999999999999999\r\n\r\n"},
      {"Transfer-Encoding gzip", Post + "Transfer-Encoding: gzip\r\n\r\n"},
      {"Transfer-Encoding gzip, chunked", Post + "Transfer-Encoding: gzip, chunked\r\n\r\n"},
      {"two Transfer-Encodings",
       Post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n"},
      {"Transfer-Encoding on HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n"},
      {"blank before the colon", Post + "Transfer-Encoding : chunked\r\n\r\n"},
      {"tab before the colon", Get + "X-A\t: 1\r\n\r\n"},
      {"blank inside a name", Get + "X A: 1\r\n\r\n"},
      {"empty name", Get + ": 1\r\n\r\n"},
      {"no colon", Get + "X-A 1\r\n\r\n"},
      {"obsolete folding", Get + "X-A: 1\r\n  2\r\n\r\n"},
      {"folding with a tab", Get + "X-A: 1\r\n\t2\r\n\r\n"},
      {"bare LF ending a header line", Get + "X-A: 1\n\r\n"},
      {"bare LF ending the head", Get + "\n"},
      {"bare LF ending the request line", "GET / HTTP/1.1\nHost: h\r\n\r\n"},
      {"stray CR in a value", Get + "X-A: 1\r2\r\n\r\n"},
      {"NUL in a value", Get + std::string("X-A: 1\0002\r\n\r\n", 12)},
      {"request line with one part", "HELLO\r\n\r\n"},
      {"two blanks in the request line", "GET  / HTTP/1.1\r\n\r\n"},
      {"unknown HTTP version", "GET / HTTP/2.0\r\n\r\n"},
      {"blank in the method", "G(T / HTTP/1.1\r\n\r\n"},
      {"control character in the target", "GET /a\x01 HTTP/1.1\r\n\r\n"},
  };
  for (const auto& C : Cases) {
    THeadScanner S;
    EXPECT_EQ(S.Scan(C.Head), TState::Failed) << C.Name;
    EXPECT_EQ(S.Fault(), THeadFault::Malformed) << C.Name;
    EXPECT_FALSE(S.Reason().empty()) << C.Name;
  }
}

// Limits are checked while the head arrives: the scanner gives up before holding more.
TEST(HeadScanner, LimitsStopAHeadWhileItArrives) {
  THeadLimits L;
  L.MaxTargetBytes = 100;
  L.MaxLineBytes = 200;
  L.MaxHeaderBytes = 1000;
  L.MaxHeaderLines = 5;
  {
    // A target over the limit, its request line still unfinished.
    THeadScanner S(L);
    EXPECT_EQ(S.Scan("GET /" + std::string(100 + 48, 'a')), TState::Failed);
    EXPECT_EQ(S.Fault(), THeadFault::TargetTooLong);
  }
  {
    // A complete request line whose target is one byte too long.
    THeadScanner S(L);
    EXPECT_EQ(S.Scan("GET /" + std::string(100, 'a') + " HTTP/1.1\r\n"), TState::Failed);
    EXPECT_EQ(S.Fault(), THeadFault::TargetTooLong);
    THeadScanner Fits(L);
    EXPECT_EQ(Fits.Scan("GET /" + std::string(99, 'a') + " HTTP/1.1\r\n"), TState::Incomplete);
  }
  {
    // Garbage without a line end is not taken for a long target.
    THeadScanner S(L);
    EXPECT_EQ(S.Scan(std::string(200, 'x')), TState::Failed);
    EXPECT_EQ(S.Fault(), THeadFault::Malformed);
  }
  {
    // One header line over MaxLineBytes once it ends; a line without end until it takes the
    // head past MaxHeaderBytes + MaxLineBytes.
    THeadScanner S(L);
    const std::string Line = "GET / HTTP/1.1\r\nX-Big: " + std::string(194, 'b');  // 201
    EXPECT_EQ(S.Scan(Line), TState::Incomplete);
    EXPECT_EQ(S.Scan(Line + "\r\n"), TState::Failed);
    EXPECT_EQ(S.Fault(), THeadFault::Malformed);
    THeadScanner Endless(L);
    const std::string Start = "GET / HTTP/1.1\r\nX-Big: ";  // 16 + 7
    EXPECT_EQ(Endless.Scan(Start + std::string(1200 - 16 - 7, 'b')), TState::Incomplete);
    EXPECT_EQ(Endless.Scan(Start + std::string(1201 - 16 - 7, 'b')), TState::Failed);
    EXPECT_EQ(Endless.Fault(), THeadFault::HeadTooLarge);
  }
  {
    // Header lines over MaxHeaderBytes together.
    THeadScanner S(L);
    std::string Head = "GET / HTTP/1.1\r\n";  // 16 bytes
    for (int I = 0; I < 4; ++I)
      Head += "X-" + std::to_string(I) + ": " + std::string(190, 'c') + "\r\n";  // 197 each
    EXPECT_EQ(S.Scan(Head), TState::Incomplete);                                 // 804
    EXPECT_EQ(S.Scan(Head + "X-4: " + std::string(190, 'c') + "\r\n"), TState::Failed);
    EXPECT_EQ(S.Fault(), THeadFault::HeadTooLarge);
  }
  {
    // More than MaxHeaderLines short lines (Host among them).
    THeadScanner S(L);
    std::string Head = "GET / HTTP/1.1\r\nHost: h\r\n";
    for (int I = 0; I < 4; ++I)
      Head += "A: b\r\n";
    EXPECT_EQ(S.Scan(Head + "\r\n"), TState::Complete);
    S.Reset();
    EXPECT_EQ(S.Scan(Head + "A: b\r\n"), TState::Failed);
    EXPECT_EQ(S.Fault(), THeadFault::TooManyLines);
  }
}

}  // namespace
}  // namespace zelk::web::engine
