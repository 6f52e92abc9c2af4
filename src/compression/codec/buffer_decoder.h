// Expansion of framed buffers whose blocks may be of either format, as
// CEDecompress expands them.
#pragma once

#include <cstdint>

namespace codec {

// Expands one framed buffer of src_len bytes into dst, which holds capacity
// bytes. A block that begins with the LZX header (u32 16, N, C, N with 16 +
// C its length) is expanded as LZX, any other as the older format. Returns
// the uncompressed size U, or a negative value when the buffer is malformed
// or U exceeds capacity. Never reads or writes outside the two buffers.
int32_t decompress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity);

}  // namespace codec
