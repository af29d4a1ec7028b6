#include "platform/web/HttpRequest.h"

namespace zelk::web {

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

std::string DecodeQueryComponent(std::string_view S) {
  std::string R;
  R.reserve(S.size());
  for (std::size_t I = 0; I < S.size(); ++I) {
    const char C = S[I];
    if (C == '+') {
      R += ' ';
    } else if (C == '%' && I + 2 < S.size() && HexValue(S[I + 1]) >= 0 && HexValue(S[I + 2]) >= 0) {
      R += static_cast<char>(HexValue(S[I + 1]) * 16 + HexValue(S[I + 2]));
      I += 2;
    } else {
      R += C;
    }
  }
  return R;
}

THttpRequest THttpRequest::FromTarget(std::string_view Target, std::string Method) {
  THttpRequest R;
  R.FMethod = std::move(Method);
  // A fragment never reaches a server; drop one if a caller passes it.
  if (const auto Hash = Target.find('#'); Hash != std::string_view::npos)
    Target = Target.substr(0, Hash);
  const auto Q = Target.find('?');
  R.FPath = std::string(Target.substr(0, Q));
  if (R.FPath.empty()) R.FPath.push_back('/');
  if (Q == std::string_view::npos) return R;
  R.FQueryString = std::string(Target.substr(Q + 1));
  std::string_view Rest = R.FQueryString;
  while (!Rest.empty()) {
    const auto Amp = Rest.find('&');
    const std::string_view Piece = Rest.substr(0, Amp);
    Rest = Amp == std::string_view::npos ? std::string_view() : Rest.substr(Amp + 1);
    if (Piece.empty()) continue;
    const auto Eq = Piece.find('=');
    std::string Entry = DecodeQueryComponent(Piece.substr(0, Eq));
    Entry += '=';
    if (Eq != std::string_view::npos) Entry += DecodeQueryComponent(Piece.substr(Eq + 1));
    R.FQueryFields.Add(std::move(Entry));
  }
  return R;
}

void THttpRequest::AddHeader(std::string Name, std::string Value) {
  FHeaders.emplace_back(std::move(Name), std::move(Value));
}

std::string THttpRequest::Header(std::string_view Name) const {
  for (const auto& [N, V] : FHeaders)
    if (rtl::SameText(N, Name)) return V;
  return {};
}

}  // namespace zelk::web
