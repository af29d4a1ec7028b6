// THeadScanner: reads a request head (request line, header lines, blank line) as its bytes
// arrive and refuses it as soon as it breaks a limit or a framing rule, so that no more of it
// is ever held than the limits allow.
//
// The rules are strict on purpose: a server behind a proxy that frames requests differently
// must not read a second request where the proxy saw one (or the reverse). Refused:
//  - line ends other than CRLF (a bare LF or a stray CR);
//  - a request line other than "<token> SP <target> SP HTTP/1.0|HTTP/1.1";
//  - blanks in a header name or before its colon, a line starting with a blank (obsolete
//    folding), control characters in a value;
//  - several Content-Length lines (even equal ones), a Content-Length that is not all digits,
//    Content-Length together with Transfer-Encoding, a Transfer-Encoding other than "chunked",
//    several Transfer-Encoding lines, Transfer-Encoding on an HTTP/1.0 request;
//  - more than one Host line (in either version: a proxy may route by one and this server
//    answer for another), an HTTP/1.1 request without a Host line. HTTP/1.0 may leave Host
//    out, and an empty Host value is accepted (a request whose target names no host).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::web::engine {

struct THeadLimits {
  // The request target; longer ones are refused while the request line still arrives.
  std::size_t MaxTargetBytes = 8192;
  // One header line (name, colon and value): a longer one is refused once it ends.
  std::size_t MaxLineBytes = 8192;
  // The request line and header lines together, line ends included. A line that has not ended
  // yet may go MaxLineBytes beyond it before the head is refused, so that a long line is told
  // apart from a long head; no more than the two together is ever held.
  std::size_t MaxHeaderBytes = 16384;
  std::size_t MaxHeaderLines = 100;
};

enum class THeadFault {
  None,
  TargetTooLong,  // 414
  HeadTooLarge,   // 431
  TooManyLines,   // 431
  Malformed       // 400: syntax, a line over MaxLineBytes, or framing
};

struct TRequestHead {
  std::string Method;
  std::string Target;
  std::string Version;  // "HTTP/1.0" or "HTTP/1.1"
  // Names as sent, values without the blanks around them, in order.
  std::vector<std::pair<std::string, std::string>> Headers;
  bool Chunked = false;
  bool HasContentLength = false;
  unsigned long long ContentLength = 0;
};

class THeadScanner {
 public:
  enum class TState { Incomplete, Complete, Failed };

  explicit THeadScanner(THeadLimits Limits = {}) : FLimits(Limits) {}

  // Data holds every byte received for this head so far, from its first one (the same bytes
  // again plus the new ones on each call). Complete once the blank line ending the head is in
  // Data: HeadLength() bytes of it are the head, the rest belongs to the body or the next
  // request.
  TState Scan(std::string_view Data);
  // Forgets the head, for the next request on the connection.
  void Reset();

  std::size_t HeadLength() const { return FHeadLength; }
  const TRequestHead& Head() const { return FHead; }
  THeadFault Fault() const { return FFault; }
  // What was wrong, in a sentence, for the error page and the log.
  const std::string& Reason() const { return FReason; }

 private:
  TState Fail(THeadFault Fault, std::string Reason);
  TState RequestLine(std::string_view Line);
  TState HeaderLine(std::string_view Line);
  TState Finish();

  THeadLimits FLimits;
  std::size_t FLineStart = 0;  // where the line being received starts
  std::size_t FSearch = 0;     // where the search for its LF goes on
  std::size_t FHeadBytes = 0;  // of the complete lines
  std::size_t FLeadingBlankLines = 0;
  std::size_t FContentLengths = 0;
  std::size_t FTransferEncodings = 0;
  std::size_t FHosts = 0;
  bool FHaveRequestLine = false;
  std::size_t FHeadLength = 0;
  TRequestHead FHead;
  THeadFault FFault = THeadFault::None;
  std::string FReason;
  TState FState = TState::Incomplete;
};

}  // namespace zelk::web::engine
