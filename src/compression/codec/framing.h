// The framing that both formats share: U, the uncompressed size (3 bytes),
// the 3-byte end offset of each 4096-byte block measured from the buffer's
// start, then the blocks back to back. Each block expands on its own, so the
// formats supply only a block's decoder or encoder.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "../compressed_format.h"

namespace framing {

inline constexpr uint32_t kBlockSize = xipsaw::kCompressionBlockSize;
inline constexpr uint32_t kSizeFieldBytes = xipsaw::kSizeFieldBytes;
inline constexpr uint32_t kMaxBufferSize = 1u << 24;  // U and the end offsets are 24-bit

inline uint32_t get_u24(const uint8_t* p) { return p[0] | p[1] << 8 | uint32_t(p[2]) << 16; }
inline void put_u24(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 3; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Expands the length bytes of one block into exactly n bytes (1 to
// kBlockSize) at out; false when the block is malformed. Reads and writes
// nothing outside the two ranges.
using BlockDecoder = bool (*)(const uint8_t* block, uint32_t length, uint8_t* out, uint32_t n);

// Expands one framed buffer of src_len bytes into dst, which holds capacity
// bytes, block by block through decode. Returns U, or a negative value when
// the framing is malformed, a block fails, or U exceeds capacity. Never reads
// or writes outside the two buffers.
int32_t expand(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity, BlockDecoder decode);

// Encodes blocks one at a time. One encoder per thread: nothing is shared.
class BlockEncoder {
 public:
  virtual ~BlockEncoder() = default;
  // Encodes n bytes (1 to kBlockSize) as one whole block into out, which
  // holds the encoder's max_block_bytes, and returns its length; 0 when
  // memory runs short.
  virtual uint32_t encode(const uint8_t* src, uint32_t n, uint8_t* out) noexcept = 0;
};

struct BlockFormat {
  std::unique_ptr<BlockEncoder> (*make_encoder)() noexcept;  // nullptr when memory runs short
  uint32_t max_block_bytes;  // the longest block the encoder writes
};

// A BlockFormat's make_encoder for an encoder class.
template <typename Encoder>
std::unique_ptr<BlockEncoder> make_encoder() noexcept {
  return std::unique_ptr<BlockEncoder>(new (std::nothrow) Encoder);
}

// Compresses src_len bytes into dst, which holds capacity bytes, encoding the
// blocks on up to `threads` threads (at least one); the bytes written do not
// depend on their number. Returns the compressed length, or a negative value
// when the result does not fit in capacity (nothing is written beyond it),
// src_len is 2^24 or more, or memory runs out. Never throws.
int32_t compress(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity, unsigned threads,
                 const BlockFormat& format) noexcept;

// The number of threads compress uses by default: one per core.
unsigned default_threads() noexcept;

}  // namespace framing
