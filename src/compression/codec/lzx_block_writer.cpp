// Sizing and writing of one LZX stream that holds a single block.
#include "lzx_block_writer.h"

#include <algorithm>

namespace lzx::detail {
namespace {



// Writes 16-bit little-endian words, filling each from its most significant
// bit. Past the capacity it keeps counting but stops writing.
class BitWriter {
 public:
  BitWriter(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) {}

  // n in 0..32.
  void put(uint32_t value, unsigned n) {
    if (n > 16) {
      put(value >> 16, n - 16);
      n = 16;
      value &= 0xFFFF;
    }
    acc_ = acc_ << n | value;
    bits_ += n;
    if (bits_ >= 16) {
      bits_ -= 16;
      emit(uint16_t(acc_ >> bits_));
    }
  }
  // Pads to the next word boundary with 1 to 16 zero bits, as the bytes of an
  // uncompressed block require.
  void align_with_padding() { put(0, 16 - bits_); }
  void flush() {
    if (bits_ > 0) put(0, 16 - bits_);
  }
  void raw_byte(uint8_t b) {
    if (pos_ < capacity_) out_[pos_] = b;
    ++pos_;
  }
  // Bytes produced so far, words only.
  uint32_t size() const { return pos_; }
  bool overflowed() const { return pos_ > capacity_; }

 private:
  void emit(uint16_t w) {
    raw_byte(uint8_t(w));
    raw_byte(uint8_t(w >> 8));
  }

  uint8_t* out_;
  uint32_t capacity_;
  uint32_t pos_ = 0;
  uint64_t acc_ = 0;
  unsigned bits_ = 0;
};

constexpr uint32_t kStreamHeaderBits = 1 + 32 + 3 + 24;

void write_stream_header(BitWriter& bw, unsigned type, uint32_t n) {
  bw.put(1, 1);  // E8 translation on
  bw.put(uint32_t(kE8TranslationSize), 32);
  bw.put(type, 3);
  bw.put(n, 24);
}

void write_lengths(BitWriter& bw, const LengthPlan& plan) {
  uint16_t codes[kPretreeSymbols];
  assign_codes(plan.pre_len, kPretreeSymbols, codes);
  for (unsigned s = 0; s < kPretreeSymbols; ++s) bw.put(plan.pre_len[s], 4);
  for (unsigned i = 0; i < plan.count; ++i) {
    const LengthToken& t = plan.tokens[i];
    bw.put(codes[t.symbol], plan.pre_len[t.symbol]);
    bw.put(t.extra, extra_bits_of_pretree_symbol(t.symbol));
    if (t.symbol == 19) bw.put(codes[t.follow], plan.pre_len[t.follow]);
  }
}

uint64_t coded_bits(const uint32_t* freq, const uint8_t* lens, unsigned n) {
  uint64_t bits = 0;
  for (unsigned s = 0; s < n; ++s) bits += uint64_t(freq[s]) * lens[s];
  return bits;
}

void build_aligned_tree(const Stats& st, Trees& t) {
  build_code_lengths(st.aligned_freq, kAlignedSymbols, kAlignedLimit, t.aligned_len);
  if (!st.any_aligned) std::fill(std::begin(t.aligned_len), std::end(t.aligned_len), uint8_t(3));
}

// Lengths for freq[0, n) under every limit from 16 down to kLowestLimit,
// planned with `plan` (which returns the bits of the tree's header); keeps
// in lens the one whose header and coded symbols take the fewest bits.
template <typename Plan>
void smallest_code(const uint32_t* freq, unsigned n, uint8_t* lens, Plan&& plan) {
  uint8_t trial[kMainSymbols];
  unsigned deepest = build_code_lengths(freq, n, kMaxCodeLength, lens);
  uint64_t best = plan(lens) + coded_bits(freq, lens, n);
  for (unsigned limit = deepest; limit-- > 1;) {
    const unsigned got = build_code_lengths(freq, n, limit, trial);
    const uint64_t bits = plan(trial) + coded_bits(freq, trial, n);
    if (bits < best) {
      best = bits;
      std::copy(trial, trial + n, lens);
    }
    if (got > limit) break;  // no lower limit fits the used symbols
  }
}

}  // namespace

void count_steps(const Step* steps, uint32_t count, Stats& st) {
  st = Stats{};
  for (const Step* s = steps; s != steps + count; ++s) {
    if (s->length == 1) {
      ++st.main_freq[s->code];
      continue;
    }
    ++st.main_freq[main_symbol_of(*s)];
    if (s->length >= kMinMatch + kNumPrimaryLengths) ++st.length_freq[s->length - kMinMatch - kNumPrimaryLengths];
    if (s->code < 3) continue;
    const unsigned extra = kExtraBits[kSlotOf[s->code]];
    st.verbatim_bits += extra;
    if (extra >= 3) {
      ++st.aligned_freq[s->code & 7];
      st.any_aligned = true;
      st.aligned_bits += extra - 3;
    } else {
      st.aligned_bits += extra;
    }
  }
}

void build_quick_trees(const Stats& st, Trees& t) {
  build_code_lengths(st.main_freq, kMainSymbols, kMaxCodeLength, t.main_len);
  build_code_lengths(st.length_freq, kLengthSymbols, kMaxCodeLength, t.length_len);
  build_aligned_tree(st, t);
  plan_lengths(t.main_len, kLiteralSymbols, true, t.plans[0]);
  plan_lengths(t.main_len + kLiteralSymbols, kMainSymbols - kLiteralSymbols, true, t.plans[1]);
  plan_lengths(t.length_len, kLengthSymbols, true, t.plans[2]);
}

void build_final_trees(const Stats& st, Trees& t) {
  smallest_code(st.main_freq, kMainSymbols, t.main_len, [](const uint8_t* lens) {
    LengthPlan low, high;
    plan_lengths(lens, kLiteralSymbols, false, low);
    plan_lengths(lens + kLiteralSymbols, kMainSymbols - kLiteralSymbols, false, high);
    return low.bits + high.bits;
  });
  smallest_code(st.length_freq, kLengthSymbols, t.length_len, [](const uint8_t* lens) {
    LengthPlan plan;
    plan_lengths(lens, kLengthSymbols, false, plan);
    return plan.bits;
  });
  build_aligned_tree(st, t);
  plan_lengths(t.main_len, kLiteralSymbols, false, t.plans[0]);
  plan_lengths(t.main_len + kLiteralSymbols, kMainSymbols - kLiteralSymbols, false, t.plans[1]);
  plan_lengths(t.length_len, kLengthSymbols, false, t.plans[2]);
}

uint32_t block_bytes(const Stats& st, const Trees& t, bool aligned) {
  uint64_t bits = kStreamHeaderBits + t.plans[0].bits + t.plans[1].bits + t.plans[2].bits;
  bits += coded_bits(st.main_freq, t.main_len, kMainSymbols);
  bits += coded_bits(st.length_freq, t.length_len, kLengthSymbols);
  if (aligned) {
    bits += 3 * kAlignedSymbols + st.aligned_bits + coded_bits(st.aligned_freq, t.aligned_len, kAlignedSymbols);
  } else {
    bits += st.verbatim_bits;
  }
  return uint32_t((bits + 15) / 16 * 2);
}

uint32_t write_block(const Step* steps, uint32_t count, uint32_t n, const Trees& t, bool aligned, uint8_t* out,
                     uint32_t capacity) {
  uint16_t main_code[kMainSymbols], length_code[kLengthSymbols], aligned_code[kAlignedSymbols];
  assign_codes(t.main_len, kMainSymbols, main_code);
  assign_codes(t.length_len, kLengthSymbols, length_code);
  assign_codes(t.aligned_len, kAlignedSymbols, aligned_code);
  BitWriter bw(out, capacity);
  write_stream_header(bw, aligned ? kBlockAligned : kBlockVerbatim, n);
  if (aligned)
    for (unsigned s = 0; s < kAlignedSymbols; ++s) bw.put(t.aligned_len[s], 3);
  for (const LengthPlan& plan : t.plans) write_lengths(bw, plan);
  for (const Step* s = steps; s != steps + count; ++s) {
    if (bw.overflowed()) return 0;
    if (s->length == 1) {
      bw.put(main_code[s->code], t.main_len[s->code]);
      continue;
    }
    const uint32_t sym = main_symbol_of(*s);
    bw.put(main_code[sym], t.main_len[sym]);
    if (s->length >= kMinMatch + kNumPrimaryLengths) {
      const unsigned l = s->length - kMinMatch - kNumPrimaryLengths;
      bw.put(length_code[l], t.length_len[l]);
    }
    if (s->code < 3) continue;
    const unsigned slot = kSlotOf[s->code];
    const unsigned extra = kExtraBits[slot];
    const uint32_t v = s->code - kPositionBase[slot];
    if (aligned && extra >= 3) {
      bw.put(v >> 3, extra - 3);
      bw.put(aligned_code[v & 7], t.aligned_len[v & 7]);
    } else {
      bw.put(v, extra);
    }
  }
  bw.flush();
  return bw.overflowed() ? 0 : bw.size();
}

uint32_t write_uncompressed(const uint8_t* data, uint32_t n, uint8_t* out) {
  BitWriter bw(out, kMaxChosenStreamBytes);
  write_stream_header(bw, kBlockUncompressed, n);
  bw.align_with_padding();
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 4; ++b) bw.raw_byte(b == 0 ? 1 : 0);  // R0 = R1 = R2 = 1
  for (uint32_t i = 0; i < n; ++i) bw.raw_byte(data[i]);
  if (n & 1) bw.raw_byte(0);
  return bw.size();
}

}  // namespace lzx::detail
