// The two layouts in which images store a module's E32Header, and the
// decision of which one an image uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"

namespace xipsaw {

enum class E32Layout { classic, newer };

// Where the fields that differ lie. Both layouts agree up to 0x1F
// (section_count to com_directory); the newer one puts the module's link
// time stamp at 0x20, which moves the nine directory pairs and the
// subsystem by one word.
struct E32Offsets {
  uint32_t size;      // bytes of the header
  size_t directories; // nine (rva, size) pairs
  size_t subsystem;
};

constexpr E32Offsets e32_offsets(E32Layout layout) {
  return layout == E32Layout::newer ? E32Offsets{110, 0x24, 0x6C} : E32Offsets{106, 0x20, 0x68};
}

const char* layout_name(E32Layout layout);

// The layout of the image's modules, decided from all of their headers,
// whichever of them a command selects (see the definition).
E32Layout decide_e32_layout(Image& image);

}  // namespace xipsaw
