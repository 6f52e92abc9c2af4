// Compression into framed buffers: a 3-byte size, 3-byte block end offsets,
// and per 4096-byte block a 16-byte header plus one independent LZX stream.
//
// Each stream holds a single LZX block. The encoder lists the matches of the
// block (lzx_match_finder), makes two quick lazy parses, one that takes new
// matches from 3 bytes on and one from 2 bytes on, and starts from the
// smaller. Shortest-path passes priced by the codes of the pass before
// follow (lzx_parser). The smallest parse is coded with the trees and the
// block type, verbatim or aligned offset, that make it smallest
// (lzx_block_writer), or the block is stored uncompressed when nothing beats
// that. The shared framing encodes the blocks on several threads.
#include "lzx_encoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "lzx_block_writer.h"
#include "lzx_encoder_internal.h"
#include "lzx_match_finder.h"
#include "lzx_parser.h"

namespace lzx {
namespace {

using namespace detail;

constexpr unsigned kParsePasses = 4;  // after the quick first parses
// The first passes keep two arrivals per position while the prices settle,
// the last ones three, which costs more time and finds a little more.
constexpr unsigned kWidePassesFrom = 3;

void store_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The largest block compress_buffer writes: the header and the largest
// stream of a chosen type.
constexpr uint32_t kMaxBlockBytes = kBlockHeaderBytes + kMaxChosenStreamBytes;

// Encodes blocks one at a time. All its memory is its own, so one encoder
// per thread needs no locking, and nothing it does allocates or throws.
class BlockEncoder final : public framing::BlockEncoder {
 public:
  // Encodes n bytes (1 to kBlockSize) as one LZX stream into out and returns
  // its length. Block type 0 picks the smallest block and writes at most
  // kMaxChosenStreamBytes; any other type forces that block and out must
  // hold kMaxStreamBytes.
  uint32_t encode_stream(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out);

  // The whole block, header and stream of the smallest type: at most
  // kMaxBlockBytes.
  uint32_t encode(const uint8_t* src, uint32_t n, uint8_t* out) noexcept override {
    const uint32_t c = encode_stream(src, n, 0, out + kBlockHeaderBytes);
    for (uint32_t v : {kBlockHeaderBytes, n, c, n}) store_u32(out, v), out += 4;
    return kBlockHeaderBytes + c;
  }

 private:
  // Sizes steps_ as verbatim and aligned block (those allowed) with quick
  // trees, left in stats_ and trees_; keeps the parse if it is the smallest
  // yet. Returns the smaller size and which type gave it.
  uint32_t evaluate(bool& aligned_won);

  bool try_verbatim_ = true, try_aligned_ = true;
  uint32_t best_ = 0;
  uint8_t data_[kBlockSize + 16];  // the block after E8 preprocessing, zero padded
  MatchFinder finder_;
  OptimalParser parser_;
  Step steps_[kBlockSize];
  uint32_t step_count_ = 0;
  Step best_steps_[kBlockSize];
  uint32_t best_count_ = 0;
  Stats stats_;
  Stats last_stats_;  // of the pass before
  bool last_aligned_ = false;
  Trees trees_;
  Prices prices_;
  uint8_t scratch_[kMaxStreamBytes];
};

uint32_t BlockEncoder::evaluate(bool& aligned_won) {
  count_steps(steps_, step_count_, stats_);
  build_quick_trees(stats_, trees_);
  const uint32_t verbatim = try_verbatim_ ? block_bytes(stats_, trees_, false) : ~0u;
  const bool size_aligned = try_aligned_ && (stats_.any_aligned || !try_verbatim_);
  const uint32_t aligned = size_aligned ? block_bytes(stats_, trees_, true) : ~0u;
  aligned_won = aligned < verbatim;
  const uint32_t size = std::min(verbatim, aligned);
  if (size < best_) {
    best_ = size;
    std::copy(steps_, steps_ + step_count_, best_steps_);
    best_count_ = step_count_;
  }
  return size;
}

uint32_t BlockEncoder::encode_stream(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out) {
  std::memcpy(data_, src, n);
  std::memset(data_ + n, 0, sizeof data_ - n);
  e8_encode(data_, n);

  const uint32_t raw = write_uncompressed(data_, n, out);
  if (block_type == kBlockUncompressed) return raw;
  try_verbatim_ = block_type != kBlockAligned;
  try_aligned_ = block_type != kBlockVerbatim;
  best_ = block_type == 0 ? raw : ~0u;
  best_count_ = 0;
  finder_.find(data_, n);

  // The smaller of the two first parses gives the first prices.
  uint32_t seed = ~0u;
  bool aligned_won = false;
  for (bool two_byte : {false, true}) {
    step_count_ = lazy_parse(data_, n, finder_, two_byte, steps_);
    const uint32_t size = evaluate(aligned_won);
    // When the first parse does not beat an uncompressed block, the data is
    // close to incompressible: keep that block and skip the rest.
    if (block_type == 0 && !two_byte && size >= raw) return raw;
    if (size < seed) {
      seed = size;
      build_prices(stats_, trees_, aligned_won, prices_);
    }
  }
  for (unsigned pass = 1; pass <= kParsePasses; ++pass) {
    step_count_ = parser_.parse(data_, n, finder_, prices_, pass >= kWidePassesFrom ? 3 : 2, steps_);
    evaluate(aligned_won);
    // The same counts give the same prices, and so the same parse again.
    if (pass > 1 && aligned_won == last_aligned_ && stats_ == last_stats_) break;
    last_stats_ = stats_;
    last_aligned_ = aligned_won;
    if (pass < kParsePasses) build_prices(stats_, trees_, aligned_won, prices_);
  }
  if (best_count_ == 0) return raw;

  count_steps(best_steps_, best_count_, stats_);
  build_final_trees(stats_, trees_);
  const uint32_t verbatim = try_verbatim_ ? block_bytes(stats_, trees_, false) : ~0u;
  const uint32_t aligned = try_aligned_ ? block_bytes(stats_, trees_, true) : ~0u;
  const uint32_t size = write_block(best_steps_, best_count_, n, trees_, aligned < verbatim, scratch_, kMaxStreamBytes);
  if (block_type == 0 && (size == 0 || size >= raw)) return raw;
  std::memcpy(out, scratch_, size);
  return size;
}

constexpr framing::BlockFormat kFormat{framing::make_encoder<BlockEncoder>, kMaxBlockBytes};

}  // namespace

namespace detail {

uint32_t compress_stream(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out) {
  const std::unique_ptr<BlockEncoder> encoder(new (std::nothrow) BlockEncoder);
  return encoder ? encoder->encode_stream(src, n, block_type, out) : 0;
}

void e8_encode(uint8_t* data, uint32_t n) {
  if (n <= 10) return;
  const int64_t size = kE8TranslationSize;
  for (uint32_t i = 0; i < n - 10;) {
    if (data[i] != 0xE8) {
      ++i;
      continue;
    }
    const int64_t r = int32_t(data[i + 1] | data[i + 2] << 8 | data[i + 3] << 16 | uint32_t(data[i + 4]) << 24);
    if (r >= -int64_t(i) && r < size) store_u32(data + i + 1, uint32_t(int32_t(r < size - i ? r + i : r - size)));
    i += 5;
  }
}

int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity,
                        unsigned threads) noexcept {
  return framing::compress(src, src_len, dst, capacity, threads, kFormat);
}

}  // namespace detail

int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) noexcept {
  return detail::compress_buffer(src, src_len, dst, capacity, framing::default_threads());
}

}  // namespace lzx
