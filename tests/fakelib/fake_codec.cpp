// A stand-in compression library with a format of its own, so that tests can
// make expansion and compression succeed, fall short or fail at will:
//   'C' then the bytes:           expands to those bytes
//   'H' then the bytes:           expands to the first half of them
//   'R', u32 count, one byte:     expands to count copies of the byte
//   anything else:                fails
// Compression, asked for either format (argument 1 or 2), writes 'R' form
// for runs of one byte, else 'C' form; input that begins with "NOCOMPRESS"
// fails.
#include <cstdint>
#include <cstring>

#include "compression/binding.h"

#if !defined(FAKE_WITHOUT_COMPRESS)
CECOMPRESS_EXPORT int32_t CECOMPRESS_CALL CECompress(const void* src, uint32_t n, void* dst, uint32_t capacity,
                                                     uint32_t format, uint32_t block) {
  const auto* s = static_cast<const uint8_t*>(src);
  auto* d = static_cast<uint8_t*>(dst);
  if ((format != 1 && format != 2) || block != 4096) return -1;
  if (n >= 10 && std::memcmp(s, "NOCOMPRESS", 10) == 0) return -1;
  bool run = n > 0;
  for (uint32_t i = 1; i < n && run; ++i) run = s[i] == s[0];
  if (run) {
    if (capacity < 6) return -1;
    d[0] = 'R';
    std::memcpy(d + 1, &n, 4);
    d[5] = s[0];
    return 6;
  }
  if (capacity < n + 1) return -1;
  d[0] = 'C';
  if (n) std::memcpy(d + 1, s, n);
  return static_cast<int32_t>(n + 1);
}
#endif

#if !defined(FAKE_WITHOUT_DECOMPRESS)
CECOMPRESS_EXPORT int32_t CECOMPRESS_CALL CEDecompress(const void* src, uint32_t n, void* dst, uint32_t capacity,
                                                       uint32_t reserved, uint32_t step, uint32_t block) {
  const auto* s = static_cast<const uint8_t*>(src);
  auto* d = static_cast<uint8_t*>(dst);
  if (reserved != 0 || step != 1 || block != 4096 || n == 0) return -1;
  uint32_t count;
  switch (s[0]) {
    case 'C':
    case 'H':
      count = s[0] == 'C' ? n - 1 : (n - 1) / 2;
      if (count > capacity) return -1;
      if (count) std::memcpy(d, s + 1, count);
      return static_cast<int32_t>(count);
    case 'R':
      if (n < 6) return -1;
      std::memcpy(&count, s + 1, 4);
      if (count > capacity) return -1;
      std::memset(d, s[5], count);
      return static_cast<int32_t>(count);
    default:
      return -1;
  }
}
#endif
