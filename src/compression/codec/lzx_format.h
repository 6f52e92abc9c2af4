// Constants of the compressed buffer layout used in Windows CE ROM images:
// a 3-byte total size, 3-byte block end offsets, and per 4096-byte block a
// 16-byte header followed by one independent LZX stream (window 2^16).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "framing.h"

namespace lzx {

// Framing of one compressed buffer.
using framing::kBlockSize;
using framing::kMaxBufferSize;
using framing::kSizeFieldBytes;
inline constexpr uint32_t kBlockHeaderBytes = xipsaw::kLzxBlockHeaderBytes;  // four u32: 16, N, C, N

// LZX stream parameters for a 2^16 window.
inline constexpr unsigned kPositionSlots = 32;
inline constexpr unsigned kLiteralSymbols = 256;
inline constexpr unsigned kMainSymbols = kLiteralSymbols + 8 * kPositionSlots;  // 512
inline constexpr unsigned kLengthSymbols = 249;
inline constexpr unsigned kAlignedSymbols = 8;
inline constexpr unsigned kPretreeSymbols = 20;
inline constexpr unsigned kMaxCodeLength = 16;
inline constexpr unsigned kMinMatch = 2;
inline constexpr unsigned kMaxMatch = 257;
inline constexpr unsigned kNumPrimaryLengths = 7;

inline constexpr unsigned kBlockVerbatim = 1;
inline constexpr unsigned kBlockAligned = 2;
inline constexpr unsigned kBlockUncompressed = 3;

// The E8 call translation that every stream of a real image enables.
inline constexpr int32_t kE8TranslationSize = 12000000;

// Extra bits and base offset of each position slot: e(s) = 0 for s < 4, then
// (s - 2) / 2 capped at 17; b(0) = 0 and b(s + 1) = b(s) + 2^e(s).
constexpr std::array<uint8_t, kPositionSlots> make_extra_bits() {
  std::array<uint8_t, kPositionSlots> e{};
  for (unsigned s = 0; s < kPositionSlots; ++s) {
    unsigned v = s < 4 ? 0 : (s - 2) / 2;
    e[s] = static_cast<uint8_t>(v > 17 ? 17 : v);
  }
  return e;
}
inline constexpr std::array<uint8_t, kPositionSlots> kExtraBits = make_extra_bits();

constexpr std::array<uint32_t, kPositionSlots> make_position_base() {
  std::array<uint32_t, kPositionSlots> b{};
  for (unsigned s = 1; s < kPositionSlots; ++s) b[s] = b[s - 1] + (1u << kExtraBits[s - 1]);
  return b;
}
inline constexpr std::array<uint32_t, kPositionSlots> kPositionBase = make_position_base();

static_assert(kPositionBase[31] == 49152);

}  // namespace lzx
