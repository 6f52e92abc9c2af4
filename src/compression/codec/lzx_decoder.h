// Expansion of LZX blocks and of buffers whose blocks are all LZX.
#pragma once

#include <cstdint>

namespace lzx {

// Expands one block, the 16-byte header (u32 16, n, C, n with 16 + C =
// length) and its LZX stream, into exactly n bytes at out. False when the
// block is malformed; never reads or writes outside the two ranges.
bool decode_block(const uint8_t* block, uint32_t length, uint8_t* out, uint32_t n);

// Expands one framed buffer of LZX blocks of src_len bytes into dst, which
// holds capacity bytes. Returns the uncompressed size U, or a negative value
// when the buffer is malformed or U exceeds capacity. Never reads or writes
// outside the two buffers.
int32_t decompress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity);

}  // namespace lzx
