// The two formats of compressed data in ROM images, shared by the tool and
// the compression library: the value of CECompress's fifth argument that asks
// for each, and how a buffer tells which one it holds. Depends on nothing but
// the standard library.
//
// Both formats frame a buffer alike: U, the uncompressed size (3 bytes), then
// the 3-byte end offset of each 4096-byte block, then the blocks. A block of
// the newer format is a 16-byte header (u32 16, N, C, N) and an LZX stream of
// C bytes; a block of the older format, that of Windows CE 2.x images, is a
// byte-oriented LZ77 stream with no header.
#pragma once

#include <cstdint>

namespace xipsaw {

// none: no compressed data to tell the format by.
enum class CompressedFormat { none, lzx, lzss };

// CECompress(source, length, destination, capacity, argument, 4096) writes
// the format the argument selects: 1 (the classic call) LZX, 2 the older
// format. The library refuses every other value, and none has none.
constexpr uint32_t compress_argument(CompressedFormat format) {
  return format == CompressedFormat::lzx ? 1u : format == CompressedFormat::lzss ? 2u : 0u;
}
constexpr CompressedFormat format_of_argument(uint32_t argument) {
  return argument == 1 ? CompressedFormat::lzx : argument == 2 ? CompressedFormat::lzss : CompressedFormat::none;
}

// The framing of both formats.
inline constexpr uint32_t kCompressionBlockSize = 4096;  // uncompressed bytes per block
inline constexpr uint32_t kSizeFieldBytes = 3;           // U and every block end offset
inline constexpr uint32_t kLzxBlockHeaderBytes = 16;     // u32 16, N, C, N

namespace format_detail {
constexpr uint32_t u24(const uint8_t* p) { return p[0] | p[1] << 8 | uint32_t(p[2]) << 16; }
constexpr uint32_t u32(const uint8_t* p) { return u24(p) | uint32_t(p[3]) << 24; }
}  // namespace format_detail

// True when a block of length bytes that expands to n bytes begins with the
// LZX block header: u32 16, n, C, n with 16 + C equal to length. A block of
// the older format practically never does.
constexpr bool is_lzx_block(const uint8_t* block, uint32_t length, uint32_t n) {
  using format_detail::u32;
  return length >= kLzxBlockHeaderBytes && u32(block) == kLzxBlockHeaderBytes && u32(block + 4) == n &&
         u32(block + 12) == n && u32(block + 8) == length - kLzxBlockHeaderBytes;
}

// The format of a framed buffer, told by its first block: lzx when that
// block begins with the LZX header, lzss otherwise; none when the buffer
// holds no block (U = 0) or is too short to tell (it ends before the header
// of a first block long enough to have one). Only the header is read,
// against the block length its end offset gives: the rest of the buffer is
// checked by expansion.
constexpr CompressedFormat format_of_buffer(const uint8_t* buffer, uint32_t length) {
  using format_detail::u24;
  if (buffer == nullptr || length < 2 * kSizeFieldBytes) return CompressedFormat::none;
  const uint32_t total = u24(buffer);
  if (total == 0) return CompressedFormat::none;
  const uint32_t blocks = (total + kCompressionBlockSize - 1) / kCompressionBlockSize;
  const uint32_t start = kSizeFieldBytes * (blocks + 1), end = u24(buffer + kSizeFieldBytes);
  if (end < start || end - start < kLzxBlockHeaderBytes) return CompressedFormat::lzss;
  if (length < start + kLzxBlockHeaderBytes) return CompressedFormat::none;
  const uint32_t n = total < kCompressionBlockSize ? total : kCompressionBlockSize;
  return is_lzx_block(buffer + start, end - start, n) ? CompressedFormat::lzx : CompressedFormat::lzss;
}

}  // namespace xipsaw
