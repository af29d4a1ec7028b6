// ParseJSON on any text.
//
// Invariants: it never throws and always leaves an object; it keeps exactly the non-null members
// of a text that is one JSON object (none otherwise, and none for a text holding NUL), and no
// null member at any depth; every member
// is found by its name with the text the clients read (a string's content, else its JSON); a
// nested object is found as one; and the object parsed again from its own JSON is the same.
#include <cstdint>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "support/FuzzSupport.h"

using namespace zelk::IWZelkAuthBase;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  TJSONObject J;
  ParseJSON(Text, J);
  ZELK_FUZZ_CHECK(J.Json().is_object(), Text);

  const auto Direct = nlohmann::json::parse(Text, nullptr, /*allow_exceptions=*/false);
  const bool IsObject = Text.find('\0') == std::string::npos && Direct.is_object();
  int NonNull = 0;
  if (IsObject)
    for (const auto& [Name, Value] : Direct.items()) {
      if (Value.is_null())
        ZELK_FUZZ_CHECK(!J.Has(Name) && J.Text(Name).empty(), Name);
      else
        ++NonNull;
    }
  ZELK_FUZZ_CHECK(J.Count() == NonNull, Text);
  // No null member is left at any depth.
  std::vector<const nlohmann::json*> Pending{&J.Json()};
  while (!Pending.empty()) {
    const nlohmann::json* Next = Pending.back();
    Pending.pop_back();
    for (const auto& Element : *Next) {
      ZELK_FUZZ_CHECK(!Next->is_object() || !Element.is_null(), Text);
      if (Element.is_structured()) Pending.push_back(&Element);
    }
  }

  for (const auto& [Name, Value] : J.Json().items()) {
    ZELK_FUZZ_CHECK(J.Has(Name), Name);
    ZELK_FUZZ_CHECK(J.Text(Name) == JSONText(Value), Name);
    ZELK_FUZZ_CHECK(!Value.is_string() || J.Text(Name) == Value.get<std::string>(), Name);
    ZELK_FUZZ_CHECK(J.IsObject(Name) == Value.is_object(), Name);
    if (Value.is_object())
      ZELK_FUZZ_CHECK(J.Object(Name).Count() == static_cast<int>(Value.size()), Name);
  }
  for (const char* Name : {"access_token", "id", "name", "error", "emails", "id_str"})
    if (!J.Has(Name)) ZELK_FUZZ_CHECK(J.Text(Name).empty() && J.Object(Name).Count() == 0, Name);

  TJSONObject Again;
  ParseJSON(J.Json().dump(), Again);
  ZELK_FUZZ_CHECK(Again.Json() == J.Json(), Text);
  return 0;
}
