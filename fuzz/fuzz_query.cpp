// A raw request target into THttpRequest: decoding never fails and lookups stay consistent.
#include <cstdint>
#include <string>

#include "platform/web/HttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Target(reinterpret_cast<const char*>(Data), Size);
  const auto R = zelk::web::THttpRequest::FromTarget(Target);
  for (int I = 0; I < R.QueryFields().Count(); ++I) {
    const std::string Name = R.QueryFields().Names(I);
    (void)R.Query(Name);
  }
  (void)R.Query("state");
  (void)R.Query("clientid");
  return 0;
}
