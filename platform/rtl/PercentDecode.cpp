#include "platform/rtl/PercentDecode.h"

namespace zelk::rtl {

namespace {

// The byte of the escape at Text[I] ("%" and two hexadecimal digits), or -1 when there is none.
int EscapeAt(std::string_view Text, std::size_t I) {
  if (Text[I] != '%' || I + 2 >= Text.size()) return -1;
  const int High = HexDigitValue(Text[I + 1]);
  const int Low = HexDigitValue(Text[I + 2]);
  return High < 0 || Low < 0 ? -1 : High * 16 + Low;
}

// Decodes Text into Out; false at the first "%" that is not an escape when Strict.
bool Decode(std::string_view Text, TPlus Plus, bool Strict, std::string& Out) {
  Out.reserve(Text.size());
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == '%') {
      const int Byte = EscapeAt(Text, I);
      if (Byte >= 0) {
        Out += static_cast<char>(Byte);
        I += 2;
        continue;
      }
      if (Strict) return false;
    }
    Out += C == '+' && Plus == TPlus::Blank ? ' ' : C;
  }
  return true;
}

}  // namespace

int HexDigitValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view Text, TPlus Plus) {
  std::string Out;
  Decode(Text, Plus, /*Strict=*/false, Out);
  return Out;
}

std::optional<std::string> PercentDecodeStrict(std::string_view Text, TPlus Plus) {
  std::string Out;
  if (!Decode(Text, Plus, /*Strict=*/true, Out)) return std::nullopt;
  return Out;
}

}  // namespace zelk::rtl
