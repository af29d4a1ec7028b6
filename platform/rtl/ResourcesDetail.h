// The table of embedded resources behind FindResource, for the library only (not installed):
// generated at build time from the palette art by zelk_bitmap_generator.
#pragma once

#include <vector>

#include "platform/rtl/Resources.h"

namespace zelk::rtl::detail {

const std::vector<TResource>& EmbeddedResources();

}  // namespace zelk::rtl::detail
