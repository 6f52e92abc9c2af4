#include "lzx_encoder.h"

namespace lzx {

int32_t compress_buffer(const uint8_t*, uint32_t, uint8_t*, uint32_t) { return -1; }

}  // namespace lzx
