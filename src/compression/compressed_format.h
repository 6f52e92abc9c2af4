// The two formats of compressed data in Windows CE images, told apart by the
// first block of a framed buffer. Shared by the tool and its compression
// library, so it depends on nothing.
#pragma once

#include <cstdint>

namespace xipsaw {

// none: no compressed data to tell by. lzx: the newer format (a 16-byte
// header and an LZX stream per block); lzss: the older byte-oriented LZ77
// format of Windows CE 2.x images.
enum class CompressedFormat { none, lzx, lzss };

// CECompress's fifth argument names the format it writes: 1, which the
// classic call passes, for LZX.
inline constexpr uint32_t kLzxArgument = 1;
inline constexpr uint32_t kLzssArgument = 2;

inline constexpr uint32_t kLzxHeaderBytes = 16;

inline uint32_t compress_argument(CompressedFormat format) {
  return format == CompressedFormat::lzss ? kLzssArgument : kLzxArgument;
}

// The format of a framed buffer, from its first block: LZX when the block
// begins with the u32 values 16, N, C, N and 16 + C is its length. The
// buffer's first bytes will do: its size, its end offsets and the block's
// first 16 bytes (fewer when the block is shorter, which only the older
// format makes). none when they do not all lie in length, or the buffer
// holds no block.
inline CompressedFormat format_of_buffer(const uint8_t* buffer, uint32_t length) {
  auto u24 = [&](uint32_t at) { return buffer[at] | buffer[at + 1] << 8 | uint32_t{buffer[at + 2]} << 16; };
  auto u32 = [&](uint32_t at) { return u24(at) | uint32_t{buffer[at + 3]} << 24; };
  if (length < 6) return CompressedFormat::none;
  const uint32_t size = u24(0);
  const uint32_t blocks = (size + 4095) / 4096;
  const uint64_t start = 3 + 3 * uint64_t{blocks};
  if (blocks == 0 || start > length) return CompressedFormat::none;
  const uint32_t end = u24(3);
  if (end <= start) return CompressedFormat::none;
  const uint32_t block = end - static_cast<uint32_t>(start);
  if (block < kLzxHeaderBytes) return CompressedFormat::lzss;
  if (start + kLzxHeaderBytes > length) return CompressedFormat::none;
  const uint32_t at = static_cast<uint32_t>(start);
  const uint32_t n = size < 4096 ? size : 4096;
  const bool lzx = u32(at) == kLzxHeaderBytes && u32(at + 4) == n && u32(at + 12) == n &&
                   uint64_t{u32(at + 8)} + kLzxHeaderBytes == block;
  return lzx ? CompressedFormat::lzx : CompressedFormat::lzss;
}

// The bytes format_of_buffer needs of a buffer whose size tells its block
// count: at most this many, however large the buffer.
inline constexpr uint32_t kFormatPrefixBytes = 3 + 3 * 4096 + 16;

}  // namespace xipsaw
