// The two entry points of the CECompressv4 library, with C linkage. They check
// the constant arguments of the call contract and hand over to the codec.
// CEDecompress expands blocks of either format; CECompress writes the format
// its fifth argument selects (compressed_format.h): 1, the classic call, LZX.
// No exception leaves them: the caller carries a C++ runtime of its own and
// cannot unwind through this library, so a failure inside the codec (memory
// that cannot be had, a thread that cannot be started) is a negative result.
#include <cstdint>
#include <type_traits>

#include "../binding.h"
#include "../compressed_format.h"
#include "buffer_decoder.h"
#include "lzss_encoder.h"
#include "lzx_encoder.h"

namespace {

template <typename Call>
int32_t without_exceptions(Call&& call) noexcept {
  try {
    return call();
  } catch (...) {
    return -1;
  }
}

}  // namespace

CECOMPRESS_EXPORT int32_t CECOMPRESS_CALL CECompress(const void* src, uint32_t src_len, void* dst, uint32_t capacity,
                                                     uint32_t format, uint32_t block_size) {
  const xipsaw::CompressedFormat chosen = xipsaw::format_of_argument(format);
  if (chosen == xipsaw::CompressedFormat::none || block_size != 4096u) return -1;
  if (src == nullptr && src_len != 0) return -1;
  if (dst == nullptr && capacity != 0) return -1;
  return without_exceptions([&] {
    const auto* from = static_cast<const uint8_t*>(src);
    auto* to = static_cast<uint8_t*>(dst);
    return chosen == xipsaw::CompressedFormat::lzss ? lzss::compress_buffer(from, src_len, to, capacity)
                                                    : lzx::compress_buffer(from, src_len, to, capacity);
  });
}

CECOMPRESS_EXPORT int32_t CECOMPRESS_CALL CEDecompress(const void* src, uint32_t src_len, void* dst,
                                                       uint32_t capacity, uint32_t reserved, uint32_t step,
                                                       uint32_t block_size) {
  if (reserved != 0 || step != 1 || block_size != 4096u) return -1;
  if (src == nullptr && src_len != 0) return -1;
  if (dst == nullptr && capacity != 0) return -1;
  return without_exceptions([&] {
    return codec::decompress_buffer(static_cast<const uint8_t*>(src), src_len, static_cast<uint8_t*>(dst), capacity);
  });
}

// The definitions have exactly the types the tool calls them through.
static_assert(std::is_same_v<decltype(&CECompress), xipsaw::CECompressFn>);
static_assert(std::is_same_v<decltype(&CEDecompress), xipsaw::CEDecompressFn>);
