// The binding to the compression library's two entry points, loaded by name
// at run time: CECompressv4.dll on Windows, libCECompressv4.so elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "compressed_format.h"

namespace xipsaw {

// Both entry points are plain C functions with the cdecl calling convention,
// exported under their undecorated names. The library defines them with
// CECOMPRESS_EXPORT and CECOMPRESS_CALL and the tool calls them through the
// types below, so the two sides cannot drift apart.
#if defined(_WIN32)
#define CECOMPRESS_CALL __cdecl
#define CECOMPRESS_EXPORT extern "C" __declspec(dllexport)
#else
#define CECOMPRESS_CALL
#define CECOMPRESS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

extern "C" {
// CECompress(source, source length, destination, capacity, format, 4096),
// format as compress_argument gives it: 1 for LZX, the classic call.
using CECompressFn = int32_t(CECOMPRESS_CALL*)(const void* source, uint32_t source_length, void* destination,
                                               uint32_t capacity, uint32_t format, uint32_t block_size);
// CEDecompress(source, source length, destination, capacity, 0, 1, 4096)
using CEDecompressFn = int32_t(CECOMPRESS_CALL*)(const void* source, uint32_t source_length, void* destination,
                                                 uint32_t capacity, uint32_t reserved, uint32_t step,
                                                 uint32_t block_size);
}

#if defined(_WIN32)
inline constexpr const char* kCompressionLibraryName = "CECompressv4.dll";
#else
inline constexpr const char* kCompressionLibraryName = "libCECompressv4.so";
#endif

struct CompressionLibrary {
  CECompressFn compress = nullptr;
  CEDecompressFn decompress = nullptr;

  // Loads the library, looking first in library_dir when it is not empty,
  // then where the system loader looks (on Windows that begins with the
  // executable's own directory), and binds both entry points. False when it cannot be loaded or either
  // entry point is missing. The library is never unloaded.
  bool load(const std::string& library_dir);

  // The calls of the tool, with the constant arguments of the contract.
  int32_t expand(const void* source, uint32_t source_length, void* destination, uint32_t capacity) const {
    return decompress(source, source_length, destination, capacity, 0, 1, 4096);
  }
  // Compresses in the format given; none has no argument value, and the
  // library refuses the call.
  int32_t shrink(const void* source, uint32_t source_length, void* destination, uint32_t capacity,
                 CompressedFormat format = CompressedFormat::lzx) const {
    return compress(source, source_length, destination, capacity, compress_argument(format), 4096);
  }
};

// The most a compressed buffer can expand to: its sizes are 24-bit values.
inline constexpr uint32_t kMaxExpandedSize = 1u << 24;

// The longest compressed buffer that can expand to at most capacity bytes
// (capped at kMaxExpandedSize): the 3-byte size, a 3-byte end offset per
// block of 4096 bytes, and per block at most 16 + 8192 bytes: an LZX block is
// a 16-byte header and a stream that no encoder makes longer than 8 KiB (a
// block stored uncompressed takes about 4.1 KiB), a block of the older format
// at most 4096 + 512 bytes (every item a literal, a flag byte per 8). The
// last block's 3-byte end offset is the buffer's length, so no buffer reaches
// 2^24 bytes either. Anything longer is malformed and need not be read at
// all.
constexpr uint32_t max_compressed_size(uint32_t capacity) {
  const uint32_t blocks = ((capacity < kMaxExpandedSize ? capacity : kMaxExpandedSize) + 4095) / 4096;
  const uint32_t longest = 3 + 3 * blocks + blocks * (16 + 8192);
  return longest < kMaxExpandedSize ? longest : kMaxExpandedSize - 1;
}

// Expands stored_size stored bytes through the library into a buffer of
// the given capacity, taken here. Returns the library's result, the number
// of bytes now in expanded, or a negative value on failure: a missing entry
// point, stored bytes longer than max_compressed_size(capacity), a capacity
// that cannot be obtained or a result beyond it. No buffer beyond the
// largest possible expansion is ever taken, whatever capacity the image
// claims.
int32_t expand_stored_bytes(const CompressionLibrary& codec, const uint8_t* stored, uint32_t stored_size,
                            uint32_t capacity, std::unique_ptr<uint8_t[]>& expanded);

}  // namespace xipsaw
