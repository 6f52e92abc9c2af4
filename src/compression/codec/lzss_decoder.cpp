// Expansion of blocks of the older format (lzss_format.h), straight into the
// block's slice of the caller's buffer, exactly the block's size: checking
// every copy against the block's end also keeps every write inside the
// caller's capacity.
#include "lzss_decoder.h"

#include <cstring>

#include "lzss_format.h"
#include "matches.h"

namespace lzss {

bool decode_block(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t n) {
  uint32_t i = 0, pos = 0;
  while (pos < n) {
    // Groups of eight literals, as data without repeats is made of, eight
    // bytes at a time.
    while (n - pos >= kItemsPerGroup && length - i > kItemsPerGroup && in[i] == 0) {
      std::memcpy(out + pos, in + i + 1, kItemsPerGroup);
      pos += kItemsPerGroup;
      i += kItemsPerGroup + 1;
    }
    if (pos == n) break;
    if (i == length) return false;  // the items end early
    unsigned flags = in[i++];
    for (unsigned k = 0; k < kItemsPerGroup && pos < n; ++k, flags >>= 1) {
      if (i == length) return false;
      if ((flags & 1) == 0) {
        out[pos++] = in[i++];
        continue;
      }
      const uint32_t b0 = in[i], kind = b0 & 15;
      if (kind == kShortCopyKind) {
        const uint32_t distance = (b0 >> 4) + kMinShortDistance;
        if (distance > pos || n - pos < kShortCopyLength) return false;
        std::memcpy(out + pos, out + pos - distance, kShortCopyLength);  // a distance of 2 or more: no overlap
        pos += kShortCopyLength;
        i += kShortCopyBytes;
        continue;
      }
      const uint32_t bytes = kind == kLongCopyKind ? kLongCopyBytes : kCopyBytes;
      if (length - i < bytes) return false;
      const uint32_t source = (b0 | uint32_t(in[i + 1]) << 8) >> 4;
      const uint32_t count = kind == kLongCopyKind ? in[i + 2] + kMinLongLength : kind + 1;
      i += bytes;
      if (source >= pos || count > n - pos) return false;
      // The real encoder never copies from bytes the copy itself produces;
      // should a block do so, the bytes repeat as a byte-by-byte copy makes
      // them.
      codec::copy_match(out + pos, pos - source, count, n - pos);
      pos += count;
    }
  }
  return i == length;  // no bytes left over
}

}  // namespace lzss
