// CommaText: parsing any text, and writing then reading back the entries gives the same list.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/rtl/StringList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  zelk::rtl::TStringList L;
  L.SetCommaText(Text);
  zelk::rtl::TStringList Back;
  Back.SetCommaText(L.CommaText());
  // Entries holding a NUL byte cannot survive a text that ends at NUL; everything else must.
  bool HasNul = false;
  for (const auto& S : L.Items())
    HasNul = HasNul || S.find('\0') != std::string::npos;
  if (!HasNul && !(Back == L)) std::abort();
  (void)L.Values("oauth_token");
  return 0;
}
