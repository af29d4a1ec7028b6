// The form-file loader refuses bad files whole: after an error the root owns nothing new.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "design/IWZelkAuthReg.h"
#include "platform/rtl/FormFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  zelk::IWZelkAuthReg::RegisterClasses();
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  zelk::rtl::TComponent Root(nullptr);
  try {
    zelk::rtl::ReadForm(&Root, Text, "fuzz.json");
    (void)zelk::rtl::WriteForm(&Root);
  } catch (const zelk::rtl::EFormError&) {
    if (Root.ComponentCount() != 0) std::abort();
  }
  return 0;
}
