// Resources embedded in the library (the palette bitmaps), found by name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::rtl {

struct TResource {
  std::string_view Name;
  std::span<const std::uint8_t> Bytes;
};

// The named resource's bytes; empty when there is none. Names compare exactly.
std::span<const std::uint8_t> FindResource(std::string_view Name);
std::vector<std::string> ResourceNames();

}  // namespace zelk::rtl
