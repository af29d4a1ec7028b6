#include "support/TraceLine.h"

namespace zelk::testing {

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<TTraceFields> ParseTraceLine(std::string_view Line) {
  TTraceFields Fields;
  std::size_t I = 0;
  while (I < Line.size()) {
    if (!Fields.empty()) {
      if (Line[I] != ' ') return std::nullopt;
      ++I;
    }
    const std::size_t Eq = Line.find('=', I);
    if (Eq == std::string_view::npos || Eq == I) return std::nullopt;
    std::string Key(Line.substr(I, Eq - I));
    for (const char C : Key)
      if (!((C >= 'a' && C <= 'z') || C == '_')) return std::nullopt;
    I = Eq + 1;
    const bool Quoted = I < Line.size() && Line[I] == '"';
    if (Quoted) ++I;
    std::string Value;
    bool Closed = !Quoted;
    while (I < Line.size()) {
      const char C = Line[I];
      const auto U = static_cast<unsigned char>(C);
      if (U < 32 || U >= 127) return std::nullopt;
      if (C == ' ' && !Quoted) break;
      if (C == '"') {
        if (!Quoted) return std::nullopt;
        ++I;
        Closed = true;
        break;
      }
      if (C != '\\') {
        Value += C;
        ++I;
        continue;
      }
      if (I + 1 >= Line.size()) return std::nullopt;
      const char E = Line[I + 1];
      if (E == '"' || E == '\\') {
        Value += E;
        I += 2;
      } else if (E == 'x' && I + 3 < Line.size() && HexDigit(Line[I + 2]) >= 0 &&
                 HexDigit(Line[I + 3]) >= 0) {
        Value += static_cast<char>(HexDigit(Line[I + 2]) * 16 + HexDigit(Line[I + 3]));
        I += 4;
      } else {
        return std::nullopt;
      }
    }
    if (!Closed) return std::nullopt;
    Fields.emplace_back(std::move(Key), std::move(Value));
  }
  return Fields;
}

std::vector<std::string> FieldValues(const TTraceFields& Fields, std::string_view Key) {
  std::vector<std::string> Values;
  for (const auto& [K, V] : Fields)
    if (K == Key) Values.push_back(V);
  return Values;
}

}  // namespace zelk::testing
