// Compression into the older format (lzss_format.h), one block per 4096
// bytes, each parsed into the fewest bytes the format allows.
#pragma once

#include <cstdint>

namespace lzss {

// Compresses src_len bytes into dst, which holds capacity bytes, encoding the
// blocks on all cores; the bytes written do not depend on their number.
// Returns the compressed length, or a negative value when the result does not
// fit in capacity (nothing is written beyond it), src_len is 2^24 or more, or
// memory runs out. Never throws. The format stores nothing uncompressed:
// data without repeats grows by an eighth, a flag bit per literal.
int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) noexcept;

namespace detail {

// compress_buffer with at most `threads` threads (at least one).
int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity,
                        unsigned threads) noexcept;

}  // namespace detail
}  // namespace lzss
