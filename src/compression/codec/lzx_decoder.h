// Expansion of compressed buffers (framing plus LZX streams).
#pragma once

#include <cstdint>

namespace lzx {

// Expands one framed buffer of src_len bytes into dst, which holds capacity
// bytes. Returns the uncompressed size U, or a negative value when the buffer
// is malformed or U exceeds capacity. Never reads or writes outside the two
// buffers.
int32_t decompress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity);

}  // namespace lzx
