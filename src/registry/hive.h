// A hive file in memory (layout in hive_layout.h): its heap walked and
// checked once, its records found by handle, and the allocation of records
// and handles that an edit needs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "registry/hive_layout.h"

namespace xipsaw {

// The largest hive read, or grown to by an edit: record sizes are 24-bit
// values.
inline constexpr uint32_t kMaxHiveSize = 1u << 24;

class Hive {
 public:
  // Whether the size bytes of content begin as a hive does ("EKIM" at
  // offset 8).
  static bool has_signature(const uint8_t* content, size_t size);

  // Takes the content and checks its layout: the size word, the heap
  // walking from 0x5000 exactly to the end, the handle table pages. False,
  // with why, when it is not sound.
  bool open(std::vector<uint8_t> content, std::string& why);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  uint32_t handle_count() const { return static_cast<uint32_t>(pages_.size()) * hive::kSlotsPerPage; }

  uint32_t u32(uint32_t offset) const;
  uint16_t u16(uint32_t offset) const;
  void set_u32(uint32_t offset, uint32_t value);
  void set_u16(uint32_t offset, uint32_t value);
  uint8_t* at(uint32_t offset) { return bytes_.data() + offset; }
  const uint8_t* at(uint32_t offset) const { return bytes_.data() + offset; }

  // The file offset and size of the payload of the record that handle
  // stands for, checked: a handle in range, a used entry pointing at the
  // start of a record of this type that carries the handle's index.
  bool find(uint32_t handle, uint32_t type, uint32_t& payload, uint32_t& payload_size) const;
  // The same for a record known to be there.
  uint32_t payload_of(uint32_t handle) const;
  uint32_t payload_size_of(uint32_t payload) const { return u32(payload - hive::kHeaderSize) & hive::kSizeMask; }

  // A record of type and payload_size, zero-filled, in the first free block
  // that takes it, the file grown at its tail when none does; its payload's
  // file offset. False when the hive would grow past kMaxHiveSize.
  bool allocate(uint32_t type, uint32_t payload_size, uint32_t index, uint32_t& payload);
  // Frees the record, its body zeroed, joined with free neighbours.
  void release(uint32_t payload);
  // A free handle index, a new handle table page made when every page is
  // full. False when none can be had.
  bool take_handle(uint32_t& index, std::string& why);
  // Points the handle's entry at the record of payload.
  void point(uint32_t index, uint32_t payload);
  void release_handle(uint32_t index);

 private:
  uint32_t entry_offset(uint32_t index) const;
  void write_free(uint32_t heap_offset, uint32_t payload_size);
  bool grow(uint32_t needed);

  std::vector<uint8_t> bytes_;
  std::vector<uint32_t> records_;             // heap offsets of the records read at open, ascending
  std::vector<uint32_t> pages_;               // heap offsets of the handle table pages
  std::map<uint32_t, uint32_t> free_blocks_;  // heap offset -> payload size
};

}  // namespace xipsaw
