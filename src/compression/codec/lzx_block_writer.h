// The block writer of the encoder: symbol counts of a parse, the trees built
// from them, the exact size of the block they make, and the block itself.
#pragma once

#include <cstdint>

#include "lzx_code_lengths.h"
#include "lzx_encoder_internal.h"

namespace lzx::detail {

// What a parse needs coded.
struct Stats {
  uint32_t main_freq[kMainSymbols];
  uint32_t length_freq[kLengthSymbols];
  uint32_t aligned_freq[kAlignedSymbols];
  uint32_t verbatim_bits;  // offset bits of a verbatim block
  uint32_t aligned_bits;   // offset bits of an aligned block, aligned symbols aside
  bool any_aligned;

  bool operator==(const Stats&) const = default;
};

void count_steps(const Step* steps, uint32_t count, Stats& st);

struct Trees {
  uint8_t main_len[kMainSymbols];
  uint8_t length_len[kLengthSymbols];
  uint8_t aligned_len[kAlignedSymbols];
  LengthPlan plans[3];  // symbols 0-255, 256-511, and the length tree
};

// Quick trees for sizing a parse: codes limited to 16 bits, greedy plans.
void build_quick_trees(const Stats& st, Trees& t);

// The trees that make the smallest block: the main and the length code are
// each built under every limit from 16 bits down to 8 and sent with the
// cheapest plan, and each keeps the limit that makes its part smallest,
// lengths included.
void build_final_trees(const Stats& st, Trees& t);

// The length in bytes of the stream that write_block would produce.
uint32_t block_bytes(const Stats& st, const Trees& t, bool aligned);

// The stream header and the parse as one verbatim or aligned offset block
// of n bytes. Returns the stream's length, or 0 when it would not fit in
// capacity.
uint32_t write_block(const Step* steps, uint32_t count, uint32_t n, const Trees& t, bool aligned, uint8_t* out,
                     uint32_t capacity);

// data[0, n) as one uncompressed block; returns the stream's length, which
// is at most kMaxChosenStreamBytes.
uint32_t write_uncompressed(const uint8_t* data, uint32_t n, uint8_t* out);

}  // namespace lzx::detail
