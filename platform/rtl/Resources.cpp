#include "platform/rtl/Resources.h"

#include "platform/rtl/ResourcesDetail.h"

namespace zelk::rtl {

std::span<const std::uint8_t> FindResource(std::string_view Name) {
  for (const auto& R : detail::EmbeddedResources())
    if (R.Name == Name) return R.Bytes;
  return {};
}

std::vector<std::string> ResourceNames() {
  std::vector<std::string> Names;
  for (const auto& R : detail::EmbeddedResources())
    Names.emplace_back(R.Name);
  return Names;
}

}  // namespace zelk::rtl
