// The older format of Windows CE 2.x images. Each block of the framing is a
// byte-oriented LZ77 stream with no header and no end marker: groups of one
// flag byte and up to 8 items, bit k of the flag byte (bit 0 first) telling
// whether item k is a literal (0) or a copy (1). A literal is its byte. The
// low nibble of a copy's first byte b0 tells its kind:
//   1:       short copy, 1 byte: 2 bytes from (b0 >> 4) + 2 bytes back;
//   2 to 15: copy, 2 bytes: w = b0 + 256 b1; (w & 15) + 1 bytes from
//            position w >> 4 of the block's output;
//   0:       long copy, 3 bytes: w as above, then b2; b2 + 17 bytes from
//            position w >> 4.
// A block ends when its bytes are out; the unused flag bits of its last
// group are 0, and no flag byte follows a group that ends exactly there.
#pragma once

#include <cstdint>

#include "framing.h"

namespace lzss {

using framing::kBlockSize;

inline constexpr unsigned kItemsPerGroup = 8;

inline constexpr unsigned kLongCopyKind = 0;   // the low nibble of a long copy
inline constexpr unsigned kShortCopyKind = 1;  // and of a short copy

inline constexpr uint32_t kShortCopyLength = 2;
inline constexpr uint32_t kMinShortDistance = 2;
inline constexpr uint32_t kMaxShortDistance = 17;
inline constexpr uint32_t kMinCopyLength = 3;
inline constexpr uint32_t kMaxCopyLength = 16;
inline constexpr uint32_t kMinLongLength = 17;
inline constexpr uint32_t kMaxLongLength = 272;

// Bytes of each item.
inline constexpr uint32_t kLiteralBytes = 1;
inline constexpr uint32_t kShortCopyBytes = 1;
inline constexpr uint32_t kCopyBytes = 2;
inline constexpr uint32_t kLongCopyBytes = 3;

// The longest block: every item a literal.
inline constexpr uint32_t kMaxBlockBytes = kBlockSize + kBlockSize / kItemsPerGroup;

}  // namespace lzss
