// Expansion of LZX blocks: a 16-byte header plus one independent LZX stream.
//
// Every stream is decoded straight into its block's slice of the caller's
// buffer, exactly the block's size, so bounds checks against the block end
// also keep every write inside the caller's capacity.
#include "lzx_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "lzx_decoder_tables.h"
#include "lzx_format.h"
#include "matches.h"

namespace lzx {
namespace {

uint32_t get_u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void put_u32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = uint8_t(v >> (8 * k));
}

using codec::copy_match;
using decoder::BitReader;
using decoder::SwappedWindow;
using decoder::Huffman;

using MainTree = Huffman<kMainSymbols, 10>;
using LengthTree = Huffman<kLengthSymbols, 9>;
using AlignedTree = Huffman<kAlignedSymbols, 7>;
using Pretree = Huffman<kPretreeSymbols, 8>;

// (previous length - delta) mod 17 at [previous + 17 - delta]; both are at most 16.
constexpr auto kMinusMod17 = [] {
  std::array<uint8_t, 34> t{};
  for (unsigned i = 0; i < t.size(); ++i) t[i] = uint8_t(i % 17);
  return t;
}();

// Updates lens[first, last) from their previous values: a pretree, then its
// symbols (deltas mod 17 and runs). A run may not pass the end of the range.
bool read_lengths(BitReader& reader, uint8_t* lens, unsigned first, unsigned last) {
  BitReader br = reader;
  Pretree pre;
  for (unsigned s = 0; s < kPretreeSymbols; ++s) pre.len[s] = uint8_t(br.read(4));
  if (!pre.build()) return false;
  for (unsigned x = first; x < last;) {
    br.refill();  // enough for a symbol 19 with its extra bit and second symbol
    const unsigned z = pre.decode(br);
    if (z <= 16) {
      lens[x] = kMinusMod17[lens[x] + 17 - z];
      ++x;
      continue;
    }
    unsigned run;
    uint8_t value = 0;
    if (z == 17) {
      run = 4 + br.bits(4);
    } else if (z == 18) {
      run = 20 + br.bits(5);
    } else if (z == 19) {
      run = 4 + br.bits(1);
      const unsigned s = pre.decode(br);
      if (s > 16) return false;
      value = kMinusMod17[lens[x] + 17 - s];
    } else {
      return false;
    }
    if (run > last - x) return false;
    std::memset(lens + x, value, run);
    x += run;
  }
  reader = br;
  return true;
}

struct StreamState {
  MainTree main;
  LengthTree length;
  AlignedTree aligned;
  uint32_t r[3] = {1, 1, 1};
};

// Per position slot: the offset for its extra bits all zero, and in aligned
// offset blocks the number of extra bits sent plainly and their shift (the
// low 3 bits of offsets with 3 or more extra bits come from the aligned tree).
constexpr auto kOffsetBase = [] {
  std::array<uint32_t, kPositionSlots> t{};
  for (unsigned s = 0; s < kPositionSlots; ++s) t[s] = kPositionBase[s] - 2;
  return t;
}();
constexpr auto kPlainBits = [] {
  std::array<uint8_t, kPositionSlots> t{};
  for (unsigned s = 0; s < kPositionSlots; ++s) t[s] = uint8_t(kExtraBits[s] >= 3 ? kExtraBits[s] - 3 : kExtraBits[s]);
  return t;
}();
constexpr auto kPlainShift = [] {
  std::array<uint8_t, kPositionSlots> t{};
  for (unsigned s = 0; s < kPositionSlots; ++s) t[s] = kExtraBits[s] >= 3 ? 3 : 0;
  return t;
}();
// Per position slot, where the match offset comes from: 0-2 R0-R2, 3 new.
constexpr auto kOffsetSource = [] {
  std::array<uint8_t, kPositionSlots> t{};
  for (unsigned s = 0; s < kPositionSlots; ++s) t[s] = uint8_t(s < 3 ? s : 3);
  return t;
}();
// Per main symbol, the plain offset bits right after its code: none for
// literals, nor for matches with a length symbol (which comes first).
template <bool kAligned>
constexpr auto kFollowBits = [] {
  std::array<uint8_t, kMainSymbols> t{};
  for (unsigned m = 0; m < kMainSymbols - kLiteralSymbols; ++m)
    if ((m & 7) != kNumPrimaryLengths) t[kLiteralSymbols + m] = kAligned ? kPlainBits[m >> 3] : kExtraBits[m >> 3];
  return t;
}();

// Decodes the symbols of one verbatim or aligned offset block, writing
// out[pos, end), with the main tree built with kFollowBits<kAligned>. Returns
// false on any invalid symbol, match or offset.
//
// A match's plain offset bits are consumed with its code, so that the next
// code need not wait for a lookup of their number. The decisions within a
// match (repeated or new offset, aligned symbol or not) depend on the data
// and would be badly predicted branches; they are made with masks and table
// lookups instead: both sides are computed and the bits not part of the match
// are not consumed.
template <bool kAligned>
bool decode_symbols(BitReader& reader, StreamState& st, uint8_t* out, uint32_t pos, uint32_t end) {
  constexpr uint32_t kLongCode = MainTree::kLongCode;
  BitReader br = reader;
  uint32_t r[3] = {st.r[0], st.r[1], st.r[2]};  // R0, R1, R2
  uint64_t before;  // the bit buffer at the last main symbol
  uint32_t entry;   // and the symbol's table entry
  while (pos < end) {
    // A refill leaves at least 56 bits: room for three literal codes of at
    // most 16 bits, or for a match's code and plain offset bits after one.
    br.refill();
    before = br.buffer();
    entry = st.main.entry(br);
    unsigned sym = entry >> 6;
    if (sym < kLiteralSymbols) {
      br.consume(entry);
      out[pos++] = uint8_t(sym);
      if (pos == end) break;
      before = br.buffer();
      entry = st.main.entry(br);
      sym = entry >> 6;
      if (sym < kLiteralSymbols) {
        br.consume(entry);
        out[pos++] = uint8_t(sym);
        if (pos == end) break;
        before = br.buffer();
        entry = st.main.entry(br);
        sym = entry >> 6;
        if (sym < kLiteralSymbols) {
          br.consume(entry);
          out[pos++] = uint8_t(sym);
          continue;
        }
      }
    }
    if (sym >= kMainSymbols) return false;
    const unsigned header = (sym - kLiteralSymbols) & 7;
    const unsigned slot = (sym - kLiteralSymbols) >> 3;

    // Slots 0-2 have no extra bits: what is computed for them is unused.
    uint32_t length = header + kMinMatch;
    uint32_t fresh;
    const unsigned plain = kAligned ? kPlainBits[slot] : kExtraBits[slot];
    if (header != kNumPrimaryLengths && (entry & 63) <= br.available()) [[likely]] {
      br.consume(entry);  // the code and the plain offset bits
      fresh = uint32_t(before >> (64 - (entry & 63))) & ((1u << plain) - 1);
    } else {
      // A length symbol comes between the code and the offset bits, or a
      // match after two literals may not have all its bits buffered.
      br.consume((entry & 63) - kFollowBits<kAligned>[sym]);
      br.refill();
      if (header == kNumPrimaryLengths) {
        const unsigned extra = st.length.decode(br);
        if (extra >= kLengthSymbols) return false;
        length += extra;
      }
      fresh = br.bits(plain);
    }
    if constexpr (kAligned) {
      fresh = kOffsetBase[slot] + (fresh << kPlainShift[slot]);
      const uint32_t aligned = 0u - (kPlainShift[slot] != 0);  // a mask
      if (br.available() < 7) br.refill();
      const uint32_t a = st.aligned.lookup(br);  // aligned codes are at most 7 bits: no long codes
      if ((a & aligned) == kLongCode) return false;
      br.consume(a & aligned);
      fresh += (a & aligned) >> 6;
    } else {
      fresh += kOffsetBase[slot];
    }

    // Slot 0 repeats R0, slot 1 swaps R0 and R1, slot 2 swaps R0 and R2, and
    // a new offset pushes R0 and R1 down: with k the offset's source, R1
    // comes from {R1, R0, R1, R0}[k] and R2 from {R2, R2, R0, R1}[k].
    const unsigned k = kOffsetSource[slot];
    const uint32_t is_new = 0u - (k == 3);  // a mask
    const uint32_t offset = (fresh & is_new) | (r[std::min(k, 2u)] & ~is_new);
    const uint32_t next_r1 = r[(k & 1) ^ 1], next_r2 = r[0x1022u >> (4 * k) & 15];
    r[0] = offset;
    r[1] = next_r1;
    r[2] = next_r2;

    if (offset - 1 >= pos || length > end - pos) return false;  // also offset 0
    copy_match(out + pos, offset, length, end - pos);
    pos += length;
  }
  std::copy_n(r, 3, st.r);
  reader = br;
  return true;
}

// Undoes the encoder's translation of E8 call targets to absolute values.
// Whether a value is translated depends on the data: it is selected with a
// mask rather than a branch, and the 4 bytes are always rewritten.
void undo_e8(uint8_t* out, uint32_t n, uint32_t translation_size) {
  if (n <= 10) return;
  const int64_t size = translation_size;
  uint8_t* const limit = out + n - 10;
  for (uint8_t* p = out; p < limit; p += 5) {
    p = static_cast<uint8_t*>(std::memchr(p, 0xE8, size_t(limit - p)));
    if (p == nullptr) break;
    const int64_t i = p - out;
    const int64_t a = int32_t(get_u32(p + 1));
    const uint32_t relative = uint32_t(a - i), wrapped = uint32_t(a + size);
    const uint32_t negative = 0u - uint32_t(a < 0), in_range = 0u - uint32_t(a >= -i && a < size);
    const uint32_t v = ((relative & ~negative) | (wrapped & negative)) & in_range;
    put_u32(p + 1, v | (uint32_t(a) & ~in_range));
  }
}

// Decodes one LZX stream of c bytes that must expand to exactly n bytes.
bool decode_stream(const uint8_t* src, uint32_t c, uint8_t* out, uint32_t n) {
  SwappedWindow window(src, c);
  BitReader br(window);
  StreamState st;
  const bool e8 = br.read(1) != 0;
  uint32_t translation_size = 0;
  if (e8) {
    translation_size = br.read(16) << 16;
    translation_size |= br.read(16);
  }
  uint32_t pos = 0;
  while (pos < n) {
    const uint32_t type = br.read(3);
    const uint32_t size = br.read(24);
    if (size == 0 || size > n - pos) return false;
    const uint32_t end = pos + size;
    if (type == kBlockUncompressed) {
      const uint64_t at = br.align_for_raw_bytes();
      const uint64_t raw_end = at + 12 + size + (size & 1);
      if (raw_end > c) return false;
      for (int i = 0; i < 3; ++i) st.r[i] = get_u32(src + at + 4 * i);
      std::memcpy(out + pos, src + at + 12, size);
      br.restart_at(uint32_t(raw_end));
    } else if (type == kBlockVerbatim || type == kBlockAligned) {
      if (type == kBlockAligned) {
        for (unsigned s = 0; s < kAlignedSymbols; ++s) st.aligned.len[s] = uint8_t(br.read(3));
        if (!st.aligned.build()) return false;
      }
      if (!read_lengths(br, st.main.len, 0, kLiteralSymbols) ||
          !read_lengths(br, st.main.len, kLiteralSymbols, kMainSymbols) ||
          !st.main.build(type == kBlockAligned ? kFollowBits<true>.data() : kFollowBits<false>.data()) ||
          !read_lengths(br, st.length.len, 0, kLengthSymbols) || !st.length.build())
        return false;
      const bool ok = type == kBlockAligned ? decode_symbols<true>(br, st, out, pos, end)
                                            : decode_symbols<false>(br, st, out, pos, end);
      if (!ok) return false;
    } else {
      return false;
    }
    if (br.overrun()) return false;
    pos = end;
  }
  if (e8) undo_e8(out, n, translation_size);
  return true;
}

}  // namespace

bool decode_block(const uint8_t* block, uint32_t length, uint8_t* out, uint32_t n) {
  if (!xipsaw::is_lzx_block(block, length, n)) return false;
  const uint32_t c = length - kBlockHeaderBytes;
  return c % 2 == 0 && decode_stream(block + kBlockHeaderBytes, c, out, n);
}

int32_t decompress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) {
  return framing::expand(src, src_len, dst, capacity, decode_block);
}

}  // namespace lzx
