// A raw request target into THttpRequest: the path and the decoded query parameters.
//
// Invariants: the path holds no "?" and no "#" and is never empty; the query string is what
// follows the first "?" up to any "#"; each non-empty "&"-piece of it becomes one parameter,
// in order, its name and value decoded from the text before and after its first "="; and a
// lookup by name (letter case ignored) gives the first such parameter's value.
#include <cstdint>
#include <string>

#include "platform/rtl/StringList.h"
#include "platform/web/HttpRequest.h"
#include "support/FuzzSupport.h"

using zelk::web::DecodeQueryComponent;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Target(reinterpret_cast<const char*>(Data), Size);
  const auto R = zelk::web::THttpRequest::FromTarget(Target);
  ZELK_FUZZ_CHECK(!R.Path().empty() && R.Path().find_first_of("?#") == std::string::npos, R.Path());

  const std::string Before = Target.substr(0, Target.find('#'));
  const auto Q = Before.find('?');
  const std::string Query = Q == std::string::npos ? std::string() : Before.substr(Q + 1);
  ZELK_FUZZ_CHECK(R.QueryString() == Query, R.QueryString());

  std::vector<std::string> Expected;
  std::size_t Start = 0;
  while (Start < Query.size()) {
    const auto Amp = Query.find('&', Start);
    const std::string Piece =
        Query.substr(Start, Amp == std::string::npos ? std::string::npos : Amp - Start);
    if (!Piece.empty()) {
      const auto Eq = Piece.find('=');
      Expected.push_back(
          DecodeQueryComponent(Piece.substr(0, Eq)) + "=" +
          (Eq == std::string::npos ? std::string() : DecodeQueryComponent(Piece.substr(Eq + 1))));
    }
    if (Amp == std::string::npos) break;
    Start = Amp + 1;
  }
  ZELK_FUZZ_CHECK(R.QueryFields().Items() == Expected, Query);

  for (int I = 0; I < R.QueryFields().Count(); ++I) {
    const std::string Name = R.QueryFields().Names(I);
    std::string First;
    for (int K = 0; K < R.QueryFields().Count(); ++K)
      if (zelk::rtl::SameText(R.QueryFields().Names(K), Name)) {
        First = R.QueryFields().ValueFromIndex(K);
        break;
      }
    ZELK_FUZZ_CHECK(R.Query(Name) == First, Name);
  }
  return 0;
}
