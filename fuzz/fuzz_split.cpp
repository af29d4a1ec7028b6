// Split: n delimiters always give n + 1 pieces that join back to the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/IWZelkAuthBase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  const char Delimiter = static_cast<char>(Data[0]);
  const std::string Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  zelk::rtl::TStringList L;
  zelk::IWZelkAuthBase::Split(Delimiter, Text, &L);
  std::string Joined;
  for (int I = 0; I < L.Count(); ++I)
    Joined += (I ? std::string(1, Delimiter) : "") + L[I];
  if (Joined != Text) std::abort();
  return 0;
}
