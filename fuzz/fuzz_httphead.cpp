// THeadScanner: whatever arrives, and however it is cut into reads, the scanner ends in the
// same state with the same head; a complete head obeys every limit and framing rule, and has
// one Host line in HTTP/1.1 and at most one in HTTP/1.0.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/web/engine/HeadScanner.h"

using zelk::web::engine::THeadLimits;
using zelk::web::engine::THeadScanner;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  const std::string_view Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  THeadLimits L;
  L.MaxTargetBytes = 64;
  L.MaxLineBytes = 128;
  L.MaxHeaderBytes = 512;
  L.MaxHeaderLines = 8;
  THeadScanner Whole(L);
  const auto State = Whole.Scan(Text);
  // The same bytes in reads of Data[0] % 7 + 1 bytes.
  THeadScanner Pieces(L);
  const std::size_t Step = Data[0] % 7 + 1;
  auto PieceState = THeadScanner::TState::Incomplete;
  for (std::size_t N = Step; PieceState == THeadScanner::TState::Incomplete; N += Step) {
    PieceState = Pieces.Scan(Text.substr(0, std::min(N, Text.size())));
    if (N >= Text.size()) break;
  }
  if (PieceState != State || Pieces.Fault() != Whole.Fault()) std::abort();
  if (State != THeadScanner::TState::Complete) return 0;
  const auto& H = Whole.Head();
  if (Whole.HeadLength() > Text.size() || Pieces.HeadLength() != Whole.HeadLength()) std::abort();
  if (!Text.substr(0, Whole.HeadLength()).ends_with("\r\n\r\n")) std::abort();
  if (H.Target.empty() || H.Target.size() > L.MaxTargetBytes) std::abort();
  if (H.Headers.size() > L.MaxHeaderLines) std::abort();
  if (H.Chunked && H.HasContentLength) std::abort();
  if (H.Version != "HTTP/1.1" && H.Version != "HTTP/1.0") std::abort();
  // One Host line in HTTP/1.1, at most one in HTTP/1.0 (names in any letter case).
  std::size_t Hosts = 0;
  for (const auto& Field : H.Headers) {
    const std::string& Name = Field.first;
    if (Name.size() == 4 && (Name[0] | 0x20) == 'h' && (Name[1] | 0x20) == 'o' &&
        (Name[2] | 0x20) == 's' && (Name[3] | 0x20) == 't')
      ++Hosts;
  }
  if (Hosts > 1 || (Hosts == 0 && H.Version == "HTTP/1.1")) std::abort();
  // No line of the head ends in a bare LF.
  const std::string_view Head = Text.substr(0, Whole.HeadLength());
  for (std::size_t I = 0; I < Head.size(); ++I)
    if (Head[I] == '\n' && (I == 0 || Head[I - 1] != '\r')) std::abort();
  return 0;
}
