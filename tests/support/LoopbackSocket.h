// A TCP connection to a test server on 127.0.0.1, for exchanges a well-behaved HTTP client
// would never make: raw bytes, partial heads, floods, connections from other loopback
// addresses. Every wait is bounded by a deadline.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::testing {

class TLoopbackSocket {
 public:
  // Connects to 127.0.0.1:Port, from the loopback address From when it is given
  // ("127.0.0.2"). Blocking reads give up after 10 s.
  explicit TLoopbackSocket(int Port, const std::string& From = {});
  ~TLoopbackSocket();
  TLoopbackSocket(const TLoopbackSocket&) = delete;
  TLoopbackSocket& operator=(const TLoopbackSocket&) = delete;

  bool Connected() const { return FConnected; }
  const int FD;

  // What a read brought: the bytes, and whether the peer closed (or reset) the connection.
  struct TRead {
    std::string Bytes;
    bool Closed = false;
  };

  // Sends all of Bytes within Within; false when the peer closed or reset the connection or
  // the time ran out.
  bool Send(std::string_view Bytes,
            std::chrono::milliseconds Within = std::chrono::milliseconds(5000));
  // Sends what the connection takes right now without waiting: the bytes sent, or -1 when the
  // peer closed or reset it.
  long SendSome(std::string_view Bytes);
  // Whatever has arrived, without waiting.
  TRead Drain();
  // Reads until the peer closes the connection or Within has passed.
  TRead ReadUntilClosed(std::chrono::milliseconds Within);
  // Reads until one complete answer (its head and its body, framed by Content-Length or
  // chunked) has arrived, the peer closes or Within has passed.
  TRead ReadAnswer(std::chrono::milliseconds Within);
  // Closes the connection now (the destructor does it otherwise).
  void Close();

 private:
  bool FConnected = false;
  bool FClosed = false;
  std::string FPending;  // bytes read past the previous answer
  // Reads what is waiting into Into, waiting at most Wait for the first byte; false once the
  // peer closed.
  bool ReadInto(std::string& Into, std::chrono::milliseconds Wait);
};

// The size of the first complete answer in Bytes (head and body), or 0 when it is not all there.
std::size_t CompleteAnswerSize(std::string_view Bytes);
// The status codes of the answers in Bytes, in order; an unreadable rest counts as -1.
std::vector<int> AnswerStatuses(std::string_view Bytes);
// The body of the first answer in Bytes (empty when incomplete).
std::string AnswerBody(std::string_view Bytes);

}  // namespace zelk::testing
