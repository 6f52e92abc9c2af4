// The ROM header as it lies in an image: 84 bytes of 32-bit words, but for
// the two 16-bit ones at 68 and 70, under their customary names.
#pragma once

#include <array>
#include <cstdint>

#include "common/le.h"

namespace xipsaw {

inline constexpr uint32_t kRomHeaderSize = 84;
// The two tables that follow it: its module entries, then its file entries.
inline constexpr uint32_t kModuleEntrySize = 32;
inline constexpr uint32_t kFileEntrySize = 28;

inline constexpr uint32_t kRomPhysfirst = 8;   // the address the image runs from
inline constexpr uint32_t kRomPhyslast = 12;   // just past its last byte
inline constexpr uint32_t kRomModuleCount = 16;
inline constexpr uint32_t kRomFileCount = 48;
inline constexpr uint32_t kRomCpuType = 68;    // the CPU the image was built for, as a PE Machine value

struct RomHeaderField {
  const char* name;
  uint32_t offset;
  bool narrow;  // 16 bits
};
inline constexpr RomHeaderField kRomHeaderFields[] = {
    {"dllfirst", 0, false},          {"dlllast", 4, false},         {"physfirst", kRomPhysfirst, false},
    {"physlast", kRomPhyslast, false}, {"nummods", kRomModuleCount, false}, {"ulRAMStart", 20, false},
    {"ulRAMFree", 24, false},        {"ulRAMEnd", 28, false},       {"ulCopyEntries", 32, false},
    {"ulCopyOffset", 36, false},     {"ulProfileLen", 40, false},   {"ulProfileOffset", 44, false},
    {"numfiles", kRomFileCount, false}, {"ulKernelFlags", 52, false}, {"ulFSRamPercent", 56, false},
    {"ulDrivglobStart", 60, false},  {"ulDrivglobLen", 64, false},  {"usCPUType", kRomCpuType, true},
    {"usMiscFlags", 70, true},       {"pExtensions", 72, false},    {"ulTrackingStart", 76, false},
    {"ulTrackingLen", 80, false}};

// The number of bytes of the header and the two tables that follow it, for
// the counts the header at bytes gives.
inline uint64_t rom_tables_size(const uint8_t* bytes) {
  return kRomHeaderSize + kModuleEntrySize * uint64_t{load_u32(bytes + kRomModuleCount)} +
         kFileEntrySize * uint64_t{load_u32(bytes + kRomFileCount)};
}

struct RomHeader {
  std::array<uint8_t, kRomHeaderSize> bytes{};  // kept as read
  uint32_t word(uint32_t offset) const { return load_u32(bytes.data() + offset); }
  uint32_t physfirst() const { return word(kRomPhysfirst); }
  uint32_t physlast() const { return word(kRomPhyslast); }
  uint32_t module_count() const { return word(kRomModuleCount); }
  uint32_t file_count() const { return word(kRomFileCount); }
  uint16_t cpu_type() const { return load_u16(bytes.data() + kRomCpuType); }
};

}  // namespace xipsaw
