// Pieces of the encoder shared by its stages (match finder, parser, code
// lengths, block writer), and the entry points its tests reach directly.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "lzx_format.h"
#include "matches.h"

namespace lzx::detail {

// Room for any one stream the encoder writes, whatever its block type.
inline constexpr uint32_t kMaxStreamBytes = 16384;

// The largest stream of a block whose type the encoder chooses: never more
// than the uncompressed block (8 bytes of headers and padding, 12 bytes of
// repeated offsets, the bytes).
inline constexpr uint32_t kMaxChosenStreamBytes = 8 + 12 + kBlockSize;

// Offsets within one block are below kBlockSize, so formatted offsets
// (offset + 2) stay below kFormattedLimit.
inline constexpr uint32_t kFormattedLimit = kBlockSize + 2;

constexpr std::array<uint8_t, kFormattedLimit> make_slot_table() {
  std::array<uint8_t, kFormattedLimit> t{};
  unsigned s = 0;
  for (uint32_t f = 0; f < kFormattedLimit; ++f) {
    while (s + 1 < kPositionSlots && kPositionBase[s + 1] <= f) ++s;
    t[f] = uint8_t(s);
  }
  return t;
}
// The position slot of each formatted offset.
inline constexpr std::array<uint8_t, kFormattedLimit> kSlotOf = make_slot_table();
// Slots that offsets within one block can use.
inline constexpr unsigned kUsedSlots = kSlotOf[kFormattedLimit - 1] + 1u;

// A match the match finder lists for a position.
struct Match {
  uint16_t length;
  uint16_t distance;
};

// One step of a parse: a literal (length 1, code the byte) or a match whose
// code is the repeated offset used (0 to 2) or the formatted offset (3 and up).
struct Step {
  uint16_t length;
  uint16_t code;
};

inline uint32_t main_symbol_of(const Step& s) {
  const uint32_t slot = s.code < 3 ? s.code : kSlotOf[s.code];
  return kLiteralSymbols + slot * 8 + std::min<uint32_t>(s.length - kMinMatch, kNumPrimaryLengths);
}

using codec::match_length;

// Encodes n bytes (1 to 4096) as one LZX stream into out, which holds
// kMaxStreamBytes, and returns its length (0 when memory is short). Block
// type 0 picks the smallest block as compress_buffer does; 1, 2 or 3 forces
// a verbatim, aligned offset or uncompressed block.
uint32_t compress_stream(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out);

// compress_buffer with at most `threads` threads (at least one). The bytes
// written do not depend on the number of threads.
int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity,
                        unsigned threads) noexcept;

// Computes code lengths of at most `limit` bits for n symbols from their
// frequencies (package-merge, so the result is optimal under the limit). A
// limit too small for the number of used symbols is raised to the smallest
// that fits. Unused symbols get length 0. A single used symbol gets length 1
// and so does one other symbol, because a decoder accepts only complete
// codes. Returns the longest length.
unsigned build_code_lengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lens);

// Turns the relative targets of E8 calls in data[0, n) into the absolute form
// that the decoder's E8 translation turns back.
void e8_encode(uint8_t* data, uint32_t n);

}  // namespace lzx::detail
