// The headers a module keeps in the image: its E32Header, in either of two
// layouts, with the decision of which one an image uses, and its O32Entry
// section records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

inline constexpr uint32_t kMaxE32Size = 110;

constexpr E32Offsets e32_offsets(E32Layout layout) {
  return layout == E32Layout::newer ? E32Offsets{kMaxE32Size, 0x24, 0x6C} : E32Offsets{106, 0x20, 0x68};
}

const char* layout_name(E32Layout layout);

// Offsets in the E32Header that both layouts share.
inline constexpr size_t kE32SectionCount = 0x00;  // u16
inline constexpr size_t kE32ImageFlags = 0x02;
inline constexpr size_t kE32EntryPoint = 0x04;
inline constexpr size_t kE32ImageBase = 0x08;
inline constexpr size_t kE32SubsystemMajor = 0x0C;
inline constexpr size_t kE32SubsystemMinor = 0x0E;
inline constexpr size_t kE32StackReserve = 0x10;
inline constexpr size_t kE32ImageSize = 0x14;
inline constexpr size_t kE32ComDirectory = 0x18;

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

  static O32Entry parse(const uint8_t* bytes);
};

// A module's E32Header, as stored, and its O32Entry records.
struct ModuleRecords {
  E32Offsets offsets;
  uint8_t e32[kMaxE32Size];  // offsets.size bytes of it
  std::vector<O32Entry> sections;

  const uint8_t* directory(int d) const { return e32 + offsets.directories + 8 * d; }  // d of the nine
};

// Reads the records of module in the image's layout. nullptr once read;
// otherwise the message of the record that lies in no record of the image.
const char* read_module_records(Image& image, const ModuleEntry& module, E32Layout layout, ModuleRecords& records);

// The layout of the image's modules, decided from all of their headers,
// whichever of them a command selects (see the definition).
E32Layout decide_e32_layout(Image& image);

}  // namespace xipsaw
