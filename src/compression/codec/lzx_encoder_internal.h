// Building blocks of the encoder that its tests reach directly.
#pragma once

#include <cstdint>

namespace lzx::detail {

// Room for any one stream the encoder writes, whatever its block type.
inline constexpr uint32_t kMaxStreamBytes = 16384;

// Encodes n bytes (1 to 4096) as one LZX stream into out, which holds
// kMaxStreamBytes, and returns its length. Block type 0 picks the smallest
// block as compress_buffer does; 1, 2 or 3 forces a verbatim, aligned offset
// or uncompressed block.
uint32_t compress_stream(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out);

// Computes code lengths of at most `limit` bits for n symbols from their
// frequencies (package-merge, so the result is optimal under the limit).
// Unused symbols get length 0. A single used symbol gets length 1 and so does
// one other symbol, because a decoder accepts only complete codes.
void build_code_lengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lens);

// Turns the relative targets of E8 calls in data[0, n) into the absolute form
// that the decoder's E8 translation turns back.
void e8_encode(uint8_t* data, uint32_t n);

}  // namespace lzx::detail
