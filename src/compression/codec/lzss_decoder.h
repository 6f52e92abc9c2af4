// Expansion of blocks of the older format.
#pragma once

#include <cstdint>

namespace lzss {

// Expands one block of length bytes into exactly n bytes at out. False when
// the block is damaged: a copy from a position the block has not produced,
// a copy that runs past n, items that end before n bytes are out, or bytes
// left when they are. Never reads or writes outside the two ranges.
bool decode_block(const uint8_t* block, uint32_t length, uint8_t* out, uint32_t n);

}  // namespace lzss
