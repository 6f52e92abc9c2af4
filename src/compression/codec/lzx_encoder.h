// Compression into the framed buffer format (one LZX stream per 4096 bytes).
#pragma once

#include <cstdint>

namespace lzx {

// Compresses src_len bytes into dst, which holds capacity bytes, encoding the
// blocks on all cores; the bytes written do not depend on their number.
// Returns the compressed length, or a negative value when the result does not
// fit in capacity (nothing is written beyond it), src_len is 2^24 or more, or
// memory runs out. Never throws.
int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) noexcept;

}  // namespace lzx
