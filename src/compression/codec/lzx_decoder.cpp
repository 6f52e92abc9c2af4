// Expansion of framed buffers: a 3-byte size, 3-byte block end offsets, and
// per 4096-byte block a 16-byte header plus one independent LZX stream.
//
// Every stream is decoded straight into its slice of the caller's buffer. The
// slice is exactly the block's size, so bounds checks against the block end
// also keep every write inside the caller's capacity.
#include "lzx_decoder.h"

#include <algorithm>
#include <cstring>

#include "lzx_format.h"

namespace lzx {
namespace {

uint32_t get_u24(const uint8_t* p) { return p[0] | p[1] << 8 | uint32_t(p[2]) << 16; }
uint32_t get_u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// Reads the stream's 16-bit little-endian words most significant bit first.
// The buffer always holds the next bits left-aligned. Past the end of the
// stream it is fed zero words; overrun() tells afterwards whether any of those
// were actually consumed, so the hot loop needs no end-of-input test.
class BitReader {
 public:
  BitReader(const uint8_t* data, uint32_t len) : data_(data), len_(len) {}

  void refill() {
    while (bits_ <= 48) {
      uint64_t word = pos_ + 2 <= len_ ? uint64_t(data_[pos_] | data_[pos_ + 1] << 8) : 0;
      pos_ += 2;
      buf_ |= word << (48 - bits_);
      bits_ += 16;
    }
  }
  // n in 1..32, and at least n bits buffered.
  uint32_t peek(unsigned n) const { return uint32_t(buf_ >> (64 - n)); }
  void skip(unsigned n) {
    buf_ <<= n;
    bits_ -= n;
  }
  // n in 0..24; refills on its own.
  uint32_t read(unsigned n) {
    if (n == 0) return 0;
    if (bits_ < int(n)) refill();
    uint32_t v = peek(n);
    skip(n);
    return v;
  }

  uint64_t consumed_bits() const { return uint64_t(pos_) * 8 - bits_; }
  bool overrun() const { return consumed_bits() > uint64_t(len_) * 8; }

  // Drops the 1 to 16 padding bits that align an uncompressed block to the
  // next word and returns the byte offset reached.
  uint64_t align_for_raw_bytes() const { return (consumed_bits() / 16 + 1) * 2; }
  // Continues bit reading at byte offset pos (after raw bytes).
  void restart_at(uint32_t pos) {
    pos_ = pos;
    buf_ = 0;
    bits_ = 0;
  }

 private:
  const uint8_t* data_;
  uint32_t len_;
  uint32_t pos_ = 0;  // next byte to load; runs past len_ when zeros are fed
  uint64_t buf_ = 0;
  int bits_ = 0;
};

// A canonical Huffman code. Codes up to kTableBits long resolve with one
// table lookup (entry = symbol << 5 | length); longer ones, which are rare,
// are found by walking the per-length first codes.
template <unsigned kSymbols, unsigned kTableBits>
class Huffman {
 public:
  static constexpr int kInvalid = -1;
  uint8_t len[kSymbols] = {};

  // Accepts a complete code, or all lengths zero (an empty tree, from which
  // no symbol can be decoded). Rejects over-subscribed and incomplete codes.
  bool build() {
    uint32_t count[kMaxCodeLength + 1] = {};
    for (unsigned s = 0; s < kSymbols; ++s) ++count[len[s]];
    count[0] = 0;
    int32_t left = 1;
    uint32_t used = 0;
    for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
      left = left * 2 - int32_t(count[l]);
      if (left < 0) return false;
      used += count[l];
    }
    std::fill(std::begin(table_), std::end(table_), uint16_t(0));
    std::fill(std::begin(count_), std::end(count_), uint16_t(0));
    if (used == 0) return true;
    if (left != 0) return false;

    uint16_t next[kMaxCodeLength + 2] = {};
    for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
      offset_[l] = next[l];
      next[l + 1] = uint16_t(next[l] + count[l]);
      count_[l] = uint16_t(count[l]);
    }
    for (unsigned s = 0; s < kSymbols; ++s)
      if (len[s] != 0) sorted_[next[len[s]]++] = uint16_t(s);

    uint32_t code = 0;
    for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
      first_[l] = code;
      if (l <= kTableBits) {
        const unsigned span = 1u << (kTableBits - l);
        for (unsigned i = 0; i < count[l]; ++i) {
          const uint16_t entry = uint16_t(sorted_[offset_[l] + i] << 5 | l);
          std::fill_n(table_ + (code + i) * span, span, entry);
        }
      }
      code = (code + count[l]) << 1;
    }
    return true;
  }

  // Needs at least 16 bits buffered. Returns the symbol or kInvalid.
  int decode(BitReader& br) const {
    const uint32_t entry = table_[br.peek(kTableBits)];
    if (entry & 31) {
      br.skip(entry & 31);
      return int(entry >> 5);
    }
    const uint32_t bits = br.peek(kMaxCodeLength);
    for (unsigned l = kTableBits + 1; l <= kMaxCodeLength; ++l) {
      const uint32_t index = (bits >> (kMaxCodeLength - l)) - first_[l];
      if (index < count_[l]) {
        br.skip(l);
        return sorted_[offset_[l] + index];
      }
    }
    return kInvalid;
  }

 private:
  uint16_t table_[1u << kTableBits];
  uint16_t count_[kMaxCodeLength + 1] = {};
  uint16_t offset_[kMaxCodeLength + 1] = {};
  uint32_t first_[kMaxCodeLength + 1] = {};
  uint16_t sorted_[kSymbols];
};

using MainTree = Huffman<kMainSymbols, 10>;
using LengthTree = Huffman<kLengthSymbols, 9>;
using AlignedTree = Huffman<kAlignedSymbols, 7>;
using Pretree = Huffman<kPretreeSymbols, 6>;

// Updates lens[first, last) from their previous values: a pretree, then its
// symbols (deltas mod 17 and runs). A run may not pass the end of the range.
bool read_lengths(BitReader& br, uint8_t* lens, unsigned first, unsigned last) {
  Pretree pre;
  for (auto& l : pre.len) l = uint8_t(br.read(4));
  if (!pre.build()) return false;
  for (unsigned x = first; x < last;) {
    br.refill();
    const int z = pre.decode(br);
    if (z < 0) return false;
    if (z <= 16) {
      lens[x] = uint8_t((lens[x] + 17 - z) % 17);
      ++x;
      continue;
    }
    unsigned run;
    uint8_t value = 0;
    if (z == 17) {
      run = 4 + br.read(4);
    } else if (z == 18) {
      run = 20 + br.read(5);
    } else {
      run = 4 + br.read(1);
      const int s = pre.decode(br);
      if (s < 0 || s > 16) return false;
      value = uint8_t((lens[x] + 17 - s) % 17);
    }
    if (run > last - x) return false;
    std::fill_n(lens + x, run, value);
    x += run;
  }
  return true;
}

struct StreamState {
  MainTree main;
  LengthTree length;
  AlignedTree aligned;
  uint32_t r[3] = {1, 1, 1};
};

// Decodes the symbols of one verbatim or aligned offset block, writing
// out[pos, end). Returns false on any invalid symbol, match or offset.
template <bool kAligned>
bool decode_symbols(BitReader& br, StreamState& st, uint8_t* out, uint32_t pos, uint32_t end) {
  uint32_t r0 = st.r[0], r1 = st.r[1], r2 = st.r[2];
  while (pos < end) {
    br.refill();
    const int sym = st.main.decode(br);
    if (sym < int(kLiteralSymbols)) {
      if (sym < 0) return false;
      out[pos++] = uint8_t(sym);
      continue;
    }
    const unsigned header = unsigned(sym - kLiteralSymbols) & 7;
    const unsigned slot = unsigned(sym - kLiteralSymbols) >> 3;
    uint32_t length = header + kMinMatch;
    if (header == kNumPrimaryLengths) {
      const int extra = st.length.decode(br);
      if (extra < 0) return false;
      length += uint32_t(extra);
    }
    uint32_t offset;
    if (slot == 0) {
      offset = r0;
    } else if (slot == 1) {
      offset = r1;
      r1 = r0;
      r0 = offset;
    } else if (slot == 2) {
      offset = r2;
      r2 = r0;
      r0 = offset;
    } else {
      br.refill();
      const unsigned extra = kExtraBits[slot];
      offset = kPositionBase[slot] - 2;
      if (kAligned && extra >= 3) {
        offset += br.read(extra - 3) << 3;
        const int a = st.aligned.decode(br);
        if (a < 0) return false;
        offset += uint32_t(a);
      } else {
        offset += br.read(extra);
      }
      r2 = r1;
      r1 = r0;
      r0 = offset;
    }
    if (offset == 0 || offset > pos || length > end - pos) return false;
    uint8_t* d = out + pos;
    const uint8_t* s = d - offset;
    for (uint32_t i = 0; i < length; ++i) d[i] = s[i];
    pos += length;
  }
  st.r[0] = r0;
  st.r[1] = r1;
  st.r[2] = r2;
  return true;
}

// Undoes the encoder's translation of E8 call targets to absolute values.
void undo_e8(uint8_t* out, uint32_t n, uint32_t translation_size) {
  if (n <= 10) return;
  const int64_t size = translation_size;
  for (uint32_t i = 0; i < n - 10;) {
    if (out[i] != 0xE8) {
      ++i;
      continue;
    }
    const int64_t a = int32_t(get_u32(out + i + 1));
    if (a >= -int64_t(i) && a < size) {
      const uint32_t v = uint32_t(a >= 0 ? a - i : a + size);
      out[i + 1] = uint8_t(v);
      out[i + 2] = uint8_t(v >> 8);
      out[i + 3] = uint8_t(v >> 16);
      out[i + 4] = uint8_t(v >> 24);
    }
    i += 5;
  }
}

// Decodes one LZX stream of c bytes that must expand to exactly n bytes.
bool decode_stream(const uint8_t* src, uint32_t c, uint8_t* out, uint32_t n) {
  BitReader br(src, c);
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
        for (auto& l : st.aligned.len) l = uint8_t(br.read(3));
        if (!st.aligned.build()) return false;
      }
      if (!read_lengths(br, st.main.len, 0, kLiteralSymbols) ||
          !read_lengths(br, st.main.len, kLiteralSymbols, kMainSymbols) || !st.main.build() ||
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

int32_t decompress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) {
  if (src == nullptr || src_len < kSizeFieldBytes) return -1;
  const uint32_t total = get_u24(src);
  if (total > capacity || (total > 0 && dst == nullptr)) return -1;
  const uint32_t blocks = (total + kBlockSize - 1) / kBlockSize;
  const uint64_t table_end = kSizeFieldBytes * (uint64_t(blocks) + 1);
  if (table_end > src_len) return -1;

  uint32_t start = uint32_t(table_end);
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t end = get_u24(src + kSizeFieldBytes * (k + 1));
    if (end > src_len || end < start || end - start < kBlockHeaderBytes) return -1;
    const uint8_t* block = src + start;
    const uint32_t n = std::min(kBlockSize, total - k * kBlockSize);
    const uint32_t c = get_u32(block + 8);
    if (get_u32(block) != kBlockHeaderBytes || get_u32(block + 4) != n || get_u32(block + 12) != n ||
        c != end - start - kBlockHeaderBytes || c % 2 != 0)
      return -1;
    if (!decode_stream(block + kBlockHeaderBytes, c, dst + k * kBlockSize, n)) return -1;
    start = end;
  }
  if (start != src_len) return -1;
  return int32_t(total);
}

}  // namespace lzx
