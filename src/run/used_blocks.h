// The blocks that the entries of one image have used: module headers,
// section tables and stored data, each known by its first address and the
// bytes it covers. A hostile image can point many entries at one block, or
// at successive addresses inside one long run, so that expanding or copying
// each of them writes without bound. Real images never begin two blocks at
// one address, and their blocks share bytes only where one begins inside
// the padded tail of an earlier one: a few KiB in a whole image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace xipsaw {

class UsedBlocks {
 public:
  enum class Use {
    first,     // the block is the caller's now
    reused,    // refused for the earlier entry whose name lies at earlier
    too_many,  // more blocks than are kept track of: none can be told apart
  };

  // Marks the size bytes at address (cut at the end of the address space)
  // as used by the entry whose name lies at name_address. Refused when an
  // earlier block began at address (a refused one too), or when the bytes
  // that the block shares with earlier blocks would take the image's total
  // of shared bytes past kSharedBudget; earlier is then the entry whose
  // block began there, or the one it shares most bytes with. Address 0,
  // which is never located, is no block.
  Use use(uint32_t address, uint32_t size, uint32_t name_address, uint32_t& earlier);
  // Whether an earlier entry's block began at address: earlier is then that
  // entry's name address.
  bool began(uint32_t address, uint32_t& earlier) const;
  void clear();

  // Blocks kept track of at most (16 MiB of table), and separate spans of
  // used bytes (8 MiB or so); real images use a few thousand of each.
  static constexpr size_t kMaxBlocks = size_t{1} << 20;
  static constexpr size_t kMaxSpans = size_t{1} << 17;
  // Bytes that blocks of one image may share with earlier ones, in all.
  static constexpr uint64_t kSharedBudget = uint64_t{1} << 20;

 private:
  struct Slot {
    uint32_t address;  // 0: empty
    uint32_t name_address;
  };
  struct Span {
    uint64_t end;
    uint32_t name_address;  // the entry that used it first
  };
  using Spans = std::map<uint32_t, Span>;  // disjoint, by first address

  size_t find(uint32_t address) const;
  void grow();
  bool share(uint64_t start, uint64_t end, uint32_t name_address, uint32_t& earlier);
  void add(uint64_t start, uint64_t end, uint32_t name_address);

  std::vector<Slot> slots_;  // open addressing, a power of two, at most half full
  size_t count_ = 0;
  Spans spans_;  // the bytes used
  uint64_t shared_ = 0;  // bytes shared with earlier blocks, of the blocks accepted
};

}  // namespace xipsaw
