// Matches, the copies of earlier output that both formats are made of: how
// a decoder copies one and how an encoder measures one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace codec {

// Copies a match of length bytes from offset bytes back to d, where room >=
// length bytes of the output are left; overlapping copies repeat bytes, as a
// byte-by-byte copy would. Far enough from the end, whole 8-byte chunks are
// copied, at least two (the last one may run up to 15 bytes past the match,
// still inside the room, and is overwritten later); a chunk never overlaps
// its own source.
inline void copy_match(uint8_t* d, uint32_t offset, uint32_t length, uint32_t room) {
  const uint8_t* s = d - offset;
  uint8_t* const stop = d + length;
  if (offset >= 8 && room - length >= 15) [[likely]] {
    std::memcpy(d, s, 8);
    std::memcpy(d + 8, s + 8, 8);
    for (d += 16, s += 16; d < stop; d += 8, s += 8) std::memcpy(d, s, 8);
  } else if (offset == 1) {
    std::memset(d, *s, length);
  } else {
    while (d < stop) *d++ = *s++;
  }
}

// Number of equal bytes at a and b, at most limit.
inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t l = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (l + 8 <= limit) {
      uint64_t x, y;
      std::memcpy(&x, a + l, 8);
      std::memcpy(&y, b + l, 8);
      if (x != y) return l + unsigned(std::countr_zero(x ^ y)) / 8;
      l += 8;
    }
  }
  while (l < limit && a[l] == b[l]) ++l;
  return l;
}

}  // namespace codec
