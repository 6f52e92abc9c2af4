// The layout of a hive file, the registry of Windows CE 4 and later. All
// integers little-endian, names and strings UTF-16LE.
//
// A header page; at 0x1000 the page directory, the heap offsets of handle
// table pages 0, 1, 2, ... (page 0 lies at heap offset 0; 0 after the last);
// from 0x5000 to the end of the file the heap: records back to back, each a
// u32 header (the type in the top 4 bits, the payload size in the low 24),
// a u32 0, the u32 index of the record's own handle, then the payload,
// padded to 4 bytes. A free record has type 0, its size | 1, and a zeroed
// body; the file's tail is one free record.
//
// Records refer to each other by handle, 0x20000000 | index, index = page *
// 1024 + slot. A handle table page holds 1024 entries and the head of its
// list of free slots: a used entry is its record's heap offset | 1, a free
// one the next free slot * 4, shifted left 16 (0 ends the list). So a record
// moves by changing its entry alone.
#pragma once

#include <cstdint>

namespace xipsaw::hive {

inline constexpr uint32_t kSignatureOffset = 8;  // "EKIM"
inline constexpr uint32_t kSizeOffset = 0x20;    // the file's size
inline constexpr uint32_t kPageDirectory = 0x1000;
inline constexpr uint32_t kDirectoryEntries = 4096;
inline constexpr uint32_t kHeap = 0x5000;
inline constexpr uint32_t kGrowthStep = 4096;  // the file grows in these steps

inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kSizeMask = 0xFFFFFF;
inline constexpr uint32_t kIdOffset = 8;
inline constexpr uint32_t kFreeBit = 1;

enum RecordType : uint32_t { kFree = 0x0, kHandlePage = 0x2, kRoot = 0xB, kKey = 0xC, kValue = 0xD };

inline constexpr uint32_t kHandleTag = 0x20000000;
inline constexpr uint32_t kIndexMask = 0x0FFFFFFF;
inline constexpr uint32_t kSlotsPerPage = 1024;
inline constexpr uint32_t kPagePayload = 4 * kSlotsPerPage + 4;  // the entries and the free-list head
inline constexpr uint32_t kUsedEntry = 1;
inline constexpr uint32_t kRootPayload = 32;  // a first-key handle per predefined root

// Key payload: next sibling, first subkey, first value (handles, 0 for
// none), the name's length in characters, the name.
inline constexpr uint32_t kKeyNext = 0, kKeySubkeys = 4, kKeyValues = 8, kKeyNameLength = 12, kKeyName = 16;
// Value payload: next value, u16 type, u16 data length, u16 name length,
// the name, the data.
inline constexpr uint32_t kValueNext = 0, kValueType = 4, kValueDataLength = 6, kValueNameLength = 8,
                          kValueName = 10;

constexpr uint32_t align4(uint32_t n) { return (n + 3) & ~3u; }
constexpr uint32_t key_payload_size(uint32_t name_length) { return align4(16 + 2 * name_length); }
constexpr uint32_t value_payload_size(uint32_t name_length, uint32_t data_length) {
  return align4(12 + 2 * name_length + data_length);
}
constexpr uint32_t record_header(uint32_t type, uint32_t payload_size) { return type << 28 | payload_size; }
constexpr uint32_t handle_of(uint32_t index) { return kHandleTag | index; }

}  // namespace xipsaw::hive
