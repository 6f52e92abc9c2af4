// Canonical Huffman decoding tables for the LZX decoder, rebuilt for every
// tree of every stream, so building them is kept cheap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "lzx_decoder_bits.h"
#include "lzx_format.h"

namespace lzx::decoder {

// Codes up to kTableBits long resolve with one lookup of the next kTableBits
// bits. An entry is symbol << 6 | the number of bits to consume (see
// BitReader::consume): the code's length, plus for a tree built with a follow
// table the number of plain bits that always come right after the code. The
// canonical order puts the short codes first, so they fill the front of the
// table; the rest are prefixes of the longer codes, which are rare and found
// by walking the per-length first codes.
template <unsigned kSymbols, unsigned kTableBits>
class Huffman {
 public:
  static constexpr unsigned kInvalid = 0x3FF;  // above every symbol
  // The entry of the table's prefixes of longer codes, which is also the
  // entry for kInvalid (it consumes nothing).
  static constexpr uint16_t kLongCode = kInvalid << 6;
  static constexpr unsigned kQuarter = (kSymbols + 3) / 4;  // see build()
  static constexpr unsigned kPadding = 4 * kQuarter - kSymbols;
  uint8_t len[kSymbols + kPadding] = {};  // code lengths; the padding stays zero

  // Accepts a complete code, or all lengths zero (an empty tree, from which
  // no symbol can be decoded). Rejects over-subscribed and incomplete codes.
  // follow, if given, holds the plain bits after each symbol's code.
  //
  // Counting the lengths and sorting the symbols by length each update a
  // counter per symbol, and a counter updated again right after waits for
  // the previous update to reach memory. The symbols are therefore taken as
  // four interleaved quarters, each with counters of its own.
  bool build(const uint8_t* follow = nullptr) {
    follow_ = follow;
    uint16_t quarter_count[4][kMaxCodeLength + 1] = {};
    for (unsigned j = 0; j < kQuarter; ++j)
      for (unsigned q = 0; q < 4; ++q) ++quarter_count[q][len[q * kQuarter + j]];
    uint32_t count[kMaxCodeLength + 1];
    for (unsigned l = 0; l <= kMaxCodeLength; ++l)
      count[l] = quarter_count[0][l] + quarter_count[1][l] + quarter_count[2][l] + quarter_count[3][l];
    int32_t left = 1;
    for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
      left = left * 2 - int32_t(count[l]);
      if (left < 0) return false;
    }
    if (left != 0 && left != 1 << kMaxCodeLength) return false;  // incomplete, and not empty

    // Sort the symbols by length, then by symbol; absent ones go to a
    // scratch area behind the others, which saves a test per symbol.
    uint32_t next[4][kMaxCodeLength + 1];
    uint32_t code = 0, sorted = 0;
    for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
      for (unsigned q = 0; q < 4; ++q) {
        next[q][l] = sorted;
        sorted += quarter_count[q][l];
      }
      if (l > kTableBits) {
        offset_[l] = uint16_t(next[0][l]);
        first_[l] = code;
        count_[l] = uint16_t(count[l]);
      }
      code = (code + count[l]) << 1;
    }
    for (unsigned q = 0; q < 4; ++q) next[q][0] = kSymbols + kPadding + q * kQuarter;
    for (unsigned j = 0; j < kQuarter; ++j)
      for (unsigned q = 0; q < 4; ++q) {
        const unsigned s = q * kQuarter + j;
        sorted_[next[q][len[s]]++] = uint16_t(s);
      }

    // Each short code covers 2^(kTableBits - length) consecutive entries.
    uint16_t* t = table_;
    const uint16_t* symbol = sorted_;
    for (unsigned l = 1; l <= kTableBits; ++l) {
      const uint32_t span = 1u << (kTableBits - l);
      const uint16_t* const stop = symbol + count[l];
      if (span >= 4) {
        for (; symbol < stop; ++symbol, t += span) {
          const uint64_t four = 0x0001000100010001ull * make_entry(*symbol, l);
          for (uint32_t i = 0; i < span; i += 4) std::memcpy(t + i, &four, 8);
        }
      } else {
        for (; symbol < stop; ++symbol, t += span) t[0] = t[span - 1] = make_entry(*symbol, l);
      }
    }
    std::fill(t, std::end(table_), kLongCode);
    return true;
  }

  // Decodes a symbol (at least 16 bits buffered): kInvalid, consuming
  // nothing, when the bits are no code of this tree.
  unsigned decode(BitReader& br) const {
    const uint32_t e = entry(br);
    br.consume(e);
    return e >> 6;
  }
  // The entry for the next bits (at least 16 buffered), which are not
  // consumed; kLongCode when they are no code of this tree.
  uint32_t entry(const BitReader& br) const {
    const uint32_t e = lookup(br);
    return e != kLongCode ? e : long_code_entry(br.peek(kMaxCodeLength));
  }
  // The table entry for the next bits: a short code's, or kLongCode.
  uint32_t lookup(const BitReader& br) const { return table_[br.peek(kTableBits)]; }
  // The entry of the code longer than kTableBits at the top of the next 16
  // bits, or kLongCode if there is none. (It takes the bits, not the reader,
  // so that callers can keep their reader in registers.)
  uint32_t long_code_entry(uint32_t bits) const {
    for (unsigned l = kTableBits + 1; l <= kMaxCodeLength; ++l) {
      const uint32_t index = (bits >> (kMaxCodeLength - l)) - first_[l];
      if (index < count_[l]) return make_entry(sorted_[offset_[l] + index], l);
    }
    return kLongCode;
  }

 private:
  uint16_t make_entry(unsigned symbol, unsigned length) const {
    return uint16_t(symbol << 6 | (length + (follow_ ? follow_[symbol] : 0)));
  }
  const uint8_t* follow_ = nullptr;
  uint16_t table_[1u << kTableBits];
  // Per length above kTableBits: its first code, its number of codes, and
  // where its symbols start in sorted_.
  uint32_t first_[kMaxCodeLength + 1] = {};
  uint16_t count_[kMaxCodeLength + 1] = {};
  uint16_t offset_[kMaxCodeLength + 1] = {};
  uint16_t sorted_[2 * (kSymbols + kPadding)];  // symbols by length, then the absent ones
};

}  // namespace lzx::decoder
