#include "platform/web/engine/HeadScanner.h"

#include <algorithm>

#include "platform/rtl/StringList.h"

namespace zelk::web::engine {

namespace {

// tchar of HTTP: the characters of methods and header names.
bool IsTokenChar(char C) {
  if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9')) return true;
  switch (C) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool IsToken(std::string_view S) {
  return !S.empty() && std::all_of(S.begin(), S.end(), IsTokenChar);
}

bool IsBlank(char C) {
  return C == ' ' || C == '\t';
}

// Visible ASCII in a target; no blanks, controls or bytes above 0x7e.
bool IsTargetChar(char C) {
  const auto U = static_cast<unsigned char>(C);
  return U > 0x20 && U < 0x7f;
}

// Field values: blanks, visible ASCII and bytes above 0x7f; no other controls.
bool IsValueChar(char C) {
  const auto U = static_cast<unsigned char>(C);
  return C == '\t' || (U >= 0x20 && U != 0x7f);
}

// Requests may be preceded by a few empty lines (a client's CRLF after a previous body).
constexpr std::size_t kMaxLeadingBlankLines = 4;
// Method, blanks and version around the longest target.
constexpr std::size_t kRequestLineOverhead = 48;

}  // namespace

void THeadScanner::Reset() {
  *this = THeadScanner(FLimits);
}

THeadScanner::TState THeadScanner::Fail(THeadFault Fault, std::string Reason) {
  FFault = Fault;
  FReason = std::move(Reason);
  FState = TState::Failed;
  return FState;
}

THeadScanner::TState THeadScanner::Scan(std::string_view Data) {
  if (FState != TState::Incomplete) return FState;
  for (;;) {
    const std::size_t LF = Data.find('\n', FSearch);
    const std::size_t End = LF == std::string_view::npos ? Data.size() : LF;
    // The line so far, without the CR that may end it: the same verdict whether the line
    // arrives whole or in pieces.
    std::string_view Line = Data.substr(FLineStart, End - FLineStart);
    if (Line.ends_with('\r')) Line.remove_suffix(1);
    if (!FHaveRequestLine) {
      if (Line.size() > FLimits.MaxTargetBytes + kRequestLineOverhead) {
        // A request line this long is either a target over the limit or not a request.
        const auto Space = Line.find(' ');
        if (Space != std::string_view::npos && Space <= 32 && IsToken(Line.substr(0, Space)))
          return Fail(THeadFault::TargetTooLong, "The request's address is longer than " +
                                                     std::to_string(FLimits.MaxTargetBytes) +
                                                     " bytes.");
        return Fail(THeadFault::Malformed, "The request line is not valid HTTP.");
      }
    } else if (FHeadBytes + Line.size() > FLimits.MaxHeaderBytes + FLimits.MaxLineBytes) {
      // A line that goes on and on: the head is over its limit whatever the line turns out to
      // be. (A shorter line is judged once it ends: as a line too long, or as a head too long.)
      return Fail(THeadFault::HeadTooLarge, "The request's header lines are longer than " +
                                                std::to_string(FLimits.MaxHeaderBytes) +
                                                " bytes together.");
    }
    if (LF == std::string_view::npos) {
      FSearch = Data.size();
      return FState;
    }
    if (FHaveRequestLine && Line.size() > FLimits.MaxLineBytes)
      return Fail(THeadFault::Malformed, "A header line is longer than " +
                                             std::to_string(FLimits.MaxLineBytes) + " bytes.");
    if (LF == FLineStart || Data[LF - 1] != '\r')
      return Fail(THeadFault::Malformed, "A line of the request head ends in LF without CR.");
    if (Line.find('\r') != std::string_view::npos)
      return Fail(THeadFault::Malformed, "A line of the request head holds a stray CR.");
    FLineStart = FSearch = LF + 1;
    TState S = TState::Incomplete;
    if (!FHaveRequestLine) {
      if (Line.empty()) {
        if (++FLeadingBlankLines > kMaxLeadingBlankLines)
          return Fail(THeadFault::Malformed, "The request starts with too many empty lines.");
        continue;
      }
      S = RequestLine(Line);
    } else if (Line.empty()) {
      FHeadLength = FLineStart;
      return Finish();
    } else {
      S = HeaderLine(Line);
    }
    if (S == TState::Failed) return S;
  }
}

THeadScanner::TState THeadScanner::RequestLine(std::string_view Line) {
  FHaveRequestLine = true;
  const auto First = Line.find(' ');
  const auto Last = Line.rfind(' ');
  if (First == std::string_view::npos || First == Last)
    return Fail(THeadFault::Malformed, "The request line is not valid HTTP.");
  const std::string_view Method = Line.substr(0, First);
  const std::string_view Target = Line.substr(First + 1, Last - First - 1);
  const std::string_view Version = Line.substr(Last + 1);
  if (!IsToken(Method) || Method.size() > 32)
    return Fail(THeadFault::Malformed, "The request's method is not valid.");
  if (Target.size() > FLimits.MaxTargetBytes)
    return Fail(THeadFault::TargetTooLong, "The request's address is longer than " +
                                               std::to_string(FLimits.MaxTargetBytes) + " bytes.");
  if (Target.empty() || !std::all_of(Target.begin(), Target.end(), IsTargetChar))
    return Fail(THeadFault::Malformed, "The request's address holds invalid characters.");
  if (Version != "HTTP/1.1" && Version != "HTTP/1.0")
    return Fail(THeadFault::Malformed, "The request's HTTP version is not 1.0 or 1.1.");
  FHead.Method = Method;
  FHead.Target = Target;
  FHead.Version = Version;
  FHeadBytes += Line.size() + 2;
  return TState::Incomplete;
}

THeadScanner::TState THeadScanner::HeaderLine(std::string_view Line) {
  FHeadBytes += Line.size() + 2;
  if (FHeadBytes > FLimits.MaxHeaderBytes)
    return Fail(THeadFault::HeadTooLarge, "The request's header lines are longer than " +
                                              std::to_string(FLimits.MaxHeaderBytes) +
                                              " bytes together.");
  if (FHead.Headers.size() >= FLimits.MaxHeaderLines)
    return Fail(
        THeadFault::TooManyLines,
        "The request has more than " + std::to_string(FLimits.MaxHeaderLines) + " header lines.");
  if (IsBlank(Line.front()))
    return Fail(THeadFault::Malformed, "A header line is folded onto the one before it.");
  const auto Colon = Line.find(':');
  if (Colon == std::string_view::npos)
    return Fail(THeadFault::Malformed, "A header line has no colon.");
  const std::string_view Name = Line.substr(0, Colon);
  if (!IsToken(Name))
    return Fail(THeadFault::Malformed,
                "A header name is empty or holds blanks or characters that are not allowed.");
  std::string_view Value = Line.substr(Colon + 1);
  while (!Value.empty() && IsBlank(Value.front()))
    Value.remove_prefix(1);
  while (!Value.empty() && IsBlank(Value.back()))
    Value.remove_suffix(1);
  if (!std::all_of(Value.begin(), Value.end(), IsValueChar))
    return Fail(THeadFault::Malformed, "A header value holds control characters.");
  if (rtl::SameText(Name, "Content-Length")) {
    ++FContentLengths;
    if (Value.empty() || Value.size() > 18 ||
        !std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; }))
      return Fail(THeadFault::Malformed, "The Content-Length is not a number.");
    FHead.HasContentLength = true;
    FHead.ContentLength = std::stoull(std::string(Value));
  } else if (rtl::SameText(Name, "Transfer-Encoding")) {
    ++FTransferEncodings;
    if (!rtl::SameText(Value, "chunked"))
      return Fail(THeadFault::Malformed, "The only Transfer-Encoding accepted is \"chunked\".");
    FHead.Chunked = true;
  } else if (rtl::SameText(Name, "Host")) {
    ++FHosts;
  }
  FHead.Headers.emplace_back(Name, Value);
  return TState::Incomplete;
}

THeadScanner::TState THeadScanner::Finish() {
  if (FContentLengths > 1)
    return Fail(THeadFault::Malformed, "The request has more than one Content-Length.");
  if (FTransferEncodings > 1)
    return Fail(THeadFault::Malformed, "The request has more than one Transfer-Encoding.");
  if (FContentLengths > 0 && FTransferEncodings > 0)
    return Fail(THeadFault::Malformed,
                "The request has both a Content-Length and a Transfer-Encoding.");
  if (FTransferEncodings > 0 && FHead.Version == "HTTP/1.0")
    return Fail(THeadFault::Malformed, "An HTTP/1.0 request cannot have a Transfer-Encoding.");
  if (FHosts > 1) return Fail(THeadFault::Malformed, "The request has more than one Host header.");
  if (FHosts == 0 && FHead.Version == "HTTP/1.1")
    return Fail(THeadFault::Malformed, "An HTTP/1.1 request must have a Host header.");
  FState = TState::Complete;
  return FState;
}

}  // namespace zelk::web::engine
