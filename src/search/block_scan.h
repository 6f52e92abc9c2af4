// Reading a whole file in large blocks, each with a look-ahead past its end,
// for searches that test every byte offset; and the word-at-a-time tests
// that let them pass over eight offsets at once.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/bin_stream.h"

namespace xipsaw {

static_assert(std::endian::native == std::endian::little, "the byte tests take byte i of a word as lane i");

class BlockScan {
 public:
  static constexpr size_t kBlock = size_t{1} << 20;
  static constexpr size_t kLookahead = 128;  // bytes past a block that its tests may read

  BlockScan(BinStream& stream, int64_t file_size) : stream_(stream), file_size_(file_size) {}

  // Calls visit(start, bytes, count) for consecutive blocks that cover the
  // offsets [from, to): bytes holds the file from start on, count offsets
  // and kLookahead more, zero past the end of the file. visit may move the
  // stream. False when the file could not be read.
  template <typename Visit>
  bool run(int64_t from, int64_t to, Visit&& visit) {
    buffer_.resize(kBlock + kLookahead);
    for (int64_t start = from; start < to; start += kBlock) {
      const size_t count = static_cast<size_t>(std::min<int64_t>(kBlock, to - start));
      const size_t wanted = static_cast<size_t>(std::min<int64_t>(count + kLookahead, file_size_ - start));
      stream_.seek(start);
      if (stream_.read(buffer_.data(), wanted) != wanted) return false;
      std::memset(buffer_.data() + wanted, 0, buffer_.size() - wanted);
      visit(start, static_cast<const uint8_t*>(buffer_.data()), count);
    }
    return true;
  }

 private:
  BinStream& stream_;
  int64_t file_size_;
  std::vector<uint8_t> buffer_;
};

// ---- Eight offsets at once ----------------------------------------------

inline uint64_t load_word(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline constexpr uint64_t kLanes = 0x0101010101010101ull;
inline constexpr uint64_t kHighBits = 0x8080808080808080ull;

// 0x80 in each byte of w that is zero, 0 in every other, exactly: no carry
// crosses from one byte into the next.
inline uint64_t zero_bytes(uint64_t w) {
  constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((w & low7) + low7) | w | low7);
}

// 0x80 in lane i when the text of n bytes lies at p + i, for i = 0 .. 7.
inline uint64_t text_lanes(const uint8_t* p, const char* text, size_t n) {
  uint64_t lanes = kHighBits;
  for (size_t k = 0; k < n && lanes != 0; ++k)
    lanes &= zero_bytes(load_word(p + k) ^ (kLanes * static_cast<uint8_t>(text[k])));
  return lanes;
}

// The lanes set in a mask of zero_bytes form, lowest first.
template <typename Visit>
void for_each_lane(uint64_t lanes, Visit&& visit) {
  while (lanes != 0) {
    visit(static_cast<size_t>(std::countr_zero(lanes) / 8));
    lanes &= lanes - 1;
  }
}

}  // namespace xipsaw
