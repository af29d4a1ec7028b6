// ParseJSON never throws and member texts are always readable.
#include <cstdint>
#include <string>

#include "core/IWZelkAuthBase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  zelk::IWZelkAuthBase::TJSONObject J;
  zelk::IWZelkAuthBase::ParseJSON(Text, J);
  for (const char* Name : {"access_token", "id", "name", "error", "emails", "id_str"}) {
    (void)J.Text(Name);
    (void)J.Object(Name).Text("message");
  }
  return 0;
}
