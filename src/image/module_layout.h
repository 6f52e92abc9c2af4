// The headers a module keeps in the image: its E32Header, in either of two
// layouts, and its O32Entry section records, with every field's place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/le.h"

namespace xipsaw {

enum class E32Layout { classic, newer };

// Offsets in the E32Header that both layouts share: they agree up to 0x1F
// (section_count to com_directory).
inline constexpr size_t kE32SectionCount = 0x00;  // u16
inline constexpr size_t kE32ImageFlags = 0x02;    // u16
inline constexpr size_t kE32EntryPoint = 0x04;    // an rva
inline constexpr size_t kE32ImageBase = 0x08;
inline constexpr size_t kE32SubsystemMajor = 0x0C;  // u16
inline constexpr size_t kE32SubsystemMinor = 0x0E;  // u16
inline constexpr size_t kE32StackReserve = 0x10;
inline constexpr size_t kE32ImageSize = 0x14;
inline constexpr size_t kE32ComDirectory = 0x18;  // (rva, size)
// The export directory's rva in the classic layout, the module's link time
// stamp in the newer one.
inline constexpr size_t kE32StampOrExports = 0x20;
// Where the fields that differ lie: the newer layout puts the time stamp at
// 0x20, which moves the nine directory pairs and the subsystem by one word.
struct E32Offsets {
  uint32_t size;      // bytes of the header
  size_t directories; // nine (rva, size) pairs
  size_t subsystem;
};

inline constexpr uint32_t kMaxE32Size = 110;

constexpr E32Offsets e32_offsets(E32Layout layout) {
  return layout == E32Layout::newer ? E32Offsets{kMaxE32Size, 0x24, 0x6C} : E32Offsets{106, 0x20, 0x68};
}

// One section record: 24 bytes each, section_count of them from o32offset.
inline constexpr uint32_t kO32Size = 24;
inline constexpr uint32_t kCompressedSection = 0x2000;  // in flags: the stored bytes are compressed

struct O32Entry {
  uint32_t virtual_size;
  uint32_t rva;
  uint32_t stored_size;
  uint32_t data_address;
  uint32_t run_address;  // where the section runs (its writable data in RAM); 0 for base + rva
  uint32_t flags;

  static O32Entry parse(const uint8_t* b) {
    return {load_u32(b), load_u32(b + 4), load_u32(b + 8), load_u32(b + 12), load_u32(b + 16), load_u32(b + 20)};
  }
};

}  // namespace xipsaw
