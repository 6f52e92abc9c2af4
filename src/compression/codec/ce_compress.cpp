// The two entry points of the CECompressv4 library, with C linkage. They check
// the constant arguments of the call contract and hand over to the codec.
#include <cstdint>

#include "lzx_decoder.h"
#include "lzx_encoder.h"

#if defined(_WIN32)
#define CECOMPRESS_EXPORT extern "C" __declspec(dllexport)
#else
#define CECOMPRESS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

CECOMPRESS_EXPORT int32_t CECompress(const void* src, uint32_t src_len, void* dst, uint32_t capacity,
                                     uint32_t step, uint32_t block_size) {
  if (step != 1 || block_size != 4096u) return -1;
  if (src == nullptr && src_len != 0) return -1;
  if (dst == nullptr && capacity != 0) return -1;
  return lzx::compress_buffer(static_cast<const uint8_t*>(src), src_len, static_cast<uint8_t*>(dst), capacity);
}

CECOMPRESS_EXPORT int32_t CEDecompress(const void* src, uint32_t src_len, void* dst, uint32_t capacity,
                                       uint32_t reserved, uint32_t step, uint32_t block_size) {
  if (reserved != 0 || step != 1 || block_size != 4096u) return -1;
  if (src == nullptr && src_len != 0) return -1;
  if (dst == nullptr && capacity != 0) return -1;
  return lzx::decompress_buffer(static_cast<const uint8_t*>(src), src_len, static_cast<uint8_t*>(dst), capacity);
}
