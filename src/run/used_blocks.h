// The blocks that the entries of one image have used: module headers,
// section tables and stored data, each known by its first address. A hostile
// image can point many entries at one block, so that expanding or copying
// each of them writes without bound; real images never use a block twice
// (items may begin inside the padded tail of an earlier one, but never at
// its first address).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace xipsaw {

class UsedBlocks {
 public:
  enum class Use {
    first,     // no earlier entry used the block; it is the caller's now
    reused,    // an earlier entry did: earlier is its name's address
    too_many,  // more blocks than are kept track of: none can be told apart
  };

  // Marks the block at address as used by the entry whose name lies at
  // name_address, unless an earlier entry of the image used it. Address 0,
  // which is never located, is no block.
  Use use(uint32_t address, uint32_t name_address, uint32_t& earlier);
  void clear();

  // Blocks kept track of at most (16 MiB of table); real images use a few
  // thousand.
  static constexpr size_t kMaxBlocks = size_t{1} << 20;

 private:
  struct Slot {
    uint32_t address;  // 0: empty
    uint32_t name_address;
  };
  size_t find(uint32_t address) const;
  void grow();

  std::vector<Slot> slots_;  // open addressing, a power of two, at most half full
  size_t count_ = 0;
};

}  // namespace xipsaw
