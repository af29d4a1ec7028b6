#include "support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace zelk::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Left(Clock::time_point Deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()));
}

std::string Lower(std::string_view S) {
  std::string Out(S);
  std::transform(Out.begin(), Out.end(), Out.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Out;
}

// The value of header Name (any case) in Head, "" when absent.
std::string HeaderValue(std::string_view Head, std::string_view Name) {
  const std::string H = Lower(Head);
  const std::string Key = "\r\n" + Lower(Name) + ":";
  const auto P = H.find(Key);
  if (P == std::string::npos) return {};
  auto Start = P + Key.size();
  while (Start < H.size() && H[Start] == ' ')
    ++Start;
  return H.substr(Start, H.find("\r\n", Start) - Start);
}

// The size of a chunked body starting at Body, or 0 when it is incomplete or malformed.
std::size_t ChunkedSize(std::string_view Body) {
  std::size_t P = 0;
  for (;;) {
    const auto LineEnd = Body.find("\r\n", P);
    if (LineEnd == std::string_view::npos) return 0;
    const std::string SizeText(Body.substr(P, LineEnd - P));
    char* End = nullptr;
    const unsigned long long Size = std::strtoull(SizeText.c_str(), &End, 16);
    if (End == SizeText.c_str()) return 0;
    P = LineEnd + 2;
    if (Size == 0) {
      // Trailers (none expected) end with an empty line.
      const auto Trailer = Body.find("\r\n", P);
      return Trailer == std::string_view::npos ? 0 : Trailer + 2;
    }
    if (Body.size() < P + Size + 2) return 0;
    P += Size + 2;
  }
}

}  // namespace

TLoopbackSocket::TLoopbackSocket(int Port, const std::string& From)
    : FD(::socket(AF_INET, SOCK_STREAM, 0)) {
  if (FD < 0) return;
  timeval Timeout{10, 0};
  ::setsockopt(FD, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
  if (!From.empty()) {
    sockaddr_in Source{};
    Source.sin_family = AF_INET;
    if (::inet_pton(AF_INET, From.c_str(), &Source.sin_addr) != 1 ||
        ::bind(FD, reinterpret_cast<sockaddr*>(&Source), sizeof Source) != 0)
      return;
  }
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<std::uint16_t>(Port));
  ::inet_pton(AF_INET, "127.0.0.1", &A.sin_addr);
  FConnected = ::connect(FD, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
}

TLoopbackSocket::~TLoopbackSocket() {
  Close();
}

void TLoopbackSocket::Close() {
  if (FD >= 0 && !FClosed) ::close(FD);
  FClosed = true;
}

long TLoopbackSocket::SendSome(std::string_view Bytes) {
  if (FClosed) return -1;
  const ssize_t N = ::send(FD, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (N >= 0) return static_cast<long>(N);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

bool TLoopbackSocket::Send(std::string_view Bytes, std::chrono::milliseconds Within) {
  const auto Deadline = Clock::now() + Within;
  while (!Bytes.empty()) {
    const long N = SendSome(Bytes);
    if (N < 0) return false;
    Bytes.remove_prefix(static_cast<std::size_t>(N));
    if (Bytes.empty()) break;
    pollfd P{FD, POLLOUT, 0};
    if (Left(Deadline).count() == 0) return false;
    ::poll(&P, 1, static_cast<int>(Left(Deadline).count()));
  }
  return true;
}

bool TLoopbackSocket::ReadInto(std::string& Into, std::chrono::milliseconds Wait) {
  if (FClosed) return false;
  pollfd P{FD, POLLIN, 0};
  if (::poll(&P, 1, static_cast<int>(Wait.count())) <= 0) return true;
  char Buffer[16384];
  for (;;) {
    const ssize_t N = ::recv(FD, Buffer, sizeof Buffer, MSG_DONTWAIT);
    if (N > 0) {
      Into.append(Buffer, static_cast<std::size_t>(N));
      continue;
    }
    if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (N < 0 && errno == EINTR) continue;
    return false;  // 0: the peer closed; ECONNRESET and the like: it reset the connection
  }
}

TLoopbackSocket::TRead TLoopbackSocket::Drain() {
  TRead R;
  R.Bytes = std::exchange(FPending, {});
  R.Closed = !ReadInto(R.Bytes, std::chrono::milliseconds(0));
  return R;
}

TLoopbackSocket::TRead TLoopbackSocket::ReadUntilClosed(std::chrono::milliseconds Within) {
  const auto Deadline = Clock::now() + Within;
  TRead R;
  R.Bytes = std::exchange(FPending, {});
  for (;;) {
    if (!ReadInto(R.Bytes, Left(Deadline))) {
      R.Closed = true;
      return R;
    }
    if (Left(Deadline).count() == 0) return R;
  }
}

TLoopbackSocket::TRead TLoopbackSocket::ReadAnswer(std::chrono::milliseconds Within) {
  const auto Deadline = Clock::now() + Within;
  TRead R;
  R.Bytes = std::exchange(FPending, {});
  for (;;) {
    if (const std::size_t Size = CompleteAnswerSize(R.Bytes); Size > 0) {
      FPending = R.Bytes.substr(Size);
      R.Bytes.resize(Size);
      return R;
    }
    if (!ReadInto(R.Bytes, Left(Deadline))) {
      R.Closed = true;
      return R;
    }
    if (Left(Deadline).count() == 0 && CompleteAnswerSize(R.Bytes) == 0) return R;
  }
}

std::size_t CompleteAnswerSize(std::string_view Bytes) {
  const auto HeadEnd = Bytes.find("\r\n\r\n");
  if (HeadEnd == std::string_view::npos) return 0;
  const std::size_t BodyStart = HeadEnd + 4;
  const std::string_view Head = Bytes.substr(0, HeadEnd + 2);
  if (HeaderValue(Head, "Transfer-Encoding").find("chunked") != std::string::npos) {
    const std::size_t Size = ChunkedSize(Bytes.substr(BodyStart));
    return Size == 0 ? 0 : BodyStart + Size;
  }
  const std::string Length = HeaderValue(Head, "Content-Length");
  const std::size_t BodySize = Length.empty() ? 0 : std::strtoull(Length.c_str(), nullptr, 10);
  return Bytes.size() >= BodyStart + BodySize ? BodyStart + BodySize : 0;
}

std::vector<int> AnswerStatuses(std::string_view Bytes) {
  std::vector<int> Out;
  while (!Bytes.empty()) {
    const std::size_t Size = CompleteAnswerSize(Bytes);
    if (Size == 0 || Bytes.substr(0, 7) != "HTTP/1." || Bytes.size() < 12) {
      Out.push_back(-1);
      break;
    }
    Out.push_back(std::atoi(std::string(Bytes.substr(9, 3)).c_str()));
    Bytes.remove_prefix(Size);
  }
  return Out;
}

std::string AnswerBody(std::string_view Bytes) {
  const std::size_t Size = CompleteAnswerSize(Bytes);
  if (Size == 0) return {};
  const auto BodyStart = Bytes.find("\r\n\r\n") + 4;
  const std::string_view Head = Bytes.substr(0, BodyStart - 2);
  std::string Body(Bytes.substr(BodyStart, Size - BodyStart));
  if (HeaderValue(Head, "Transfer-Encoding").find("chunked") == std::string::npos) return Body;
  std::string Plain;
  std::size_t P = 0;
  for (;;) {
    const auto LineEnd = Body.find("\r\n", P);
    const unsigned long long Chunk = std::strtoull(Body.c_str() + P, nullptr, 16);
    if (LineEnd == std::string::npos || Chunk == 0) return Plain;
    Plain += Body.substr(LineEnd + 2, Chunk);
    P = LineEnd + 2 + Chunk + 2;
  }
}

}  // namespace zelk::testing
