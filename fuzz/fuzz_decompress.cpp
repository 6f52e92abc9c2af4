// libFuzzer target: any input is a candidate compressed buffer, its blocks
// LZX ones or, without the LZX header, blocks of the older format. It is
// expanded as CEDecompress does into destinations of a few capacities; the
// decoders must stay inside both buffers and report at most the capacity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "buffer_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  // Exactly sized copy, so reading past the input is caught.
  const std::vector<uint8_t> src(data, data + size);
  const uint8_t* p = src.empty() ? nullptr : src.data();
  const uint32_t claimed = size >= 3 ? uint32_t(data[0] | data[1] << 8 | data[2] << 16) : 0;
  for (uint32_t capacity : {0u, 4096u, 65536u, claimed}) {
    if (capacity > (1u << 20)) continue;
    std::vector<uint8_t> dst(capacity);
    const int32_t r = codec::decompress_buffer(p, uint32_t(size), dst.data(), capacity);
    if (r > int32_t(capacity)) std::abort();
    if (r >= 0 && uint32_t(r) != claimed) std::abort();
  }
  return 0;
}
