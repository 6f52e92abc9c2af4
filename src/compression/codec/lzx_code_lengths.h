// Code lengths of the encoder's Huffman trees, and how a tree's lengths are
// sent through a pretree.
#pragma once

#include <cstdint>

#include "lzx_encoder_internal.h"

namespace lzx::detail {

inline constexpr unsigned kPretreeLimit = 15;  // pretree lengths are sent in 4 bits
inline constexpr unsigned kAlignedLimit = 7;   // aligned tree lengths are sent in 3 bits

// One pretree symbol of a length plan.
struct LengthToken {
  uint8_t symbol;
  uint8_t extra;   // run length bits of 17, 18 and 19
  uint8_t follow;  // the length symbol after a 19
};

// The longest range of lengths sent with one pretree.
inline constexpr unsigned kTreeMax = kLiteralSymbols;

// How one range of tree lengths is sent: the pretree symbols, the pretree
// and the exact number of bits of the whole part.
struct LengthPlan {
  LengthToken tokens[kTreeMax];
  unsigned count = 0;
  uint8_t pre_len[kPretreeSymbols] = {};
  uint32_t bits = 0;
};

// Plans how lens[0, m) is sent. A stream holds one block, so the previous
// lengths are all zero. The quick plan takes the longest runs; the full one
// then searches for cheaper tokens under the pretree of the previous choice.
void plan_lengths(const uint8_t* lens, unsigned m, bool quick, LengthPlan& plan);

inline unsigned extra_bits_of_pretree_symbol(uint8_t symbol) {
  return symbol == 17 ? 4 : symbol == 18 ? 5 : symbol == 19 ? 1 : 0;
}

// Canonical codes for given lengths: by increasing length, then by symbol.
void assign_codes(const uint8_t* lens, unsigned n, uint16_t* codes);

}  // namespace lzx::detail
