#include "buffer_decoder.h"

#include "../compressed_format.h"
#include "framing.h"
#include "lzss_decoder.h"
#include "lzx_decoder.h"

namespace codec {
namespace {

bool decode_either(const uint8_t* block, uint32_t length, uint8_t* out, uint32_t n) {
  return xipsaw::is_lzx_block(block, length, n) ? lzx::decode_block(block, length, out, n)
                                                : lzss::decode_block(block, length, out, n);
}

}  // namespace

int32_t decompress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) {
  return framing::expand(src, src_len, dst, capacity, decode_either);
}

}  // namespace codec
