// The match finder of the encoder: for every position of a block, matches
// of increasing length, each at the nearest distance that gives its length.
#pragma once

#include <cstdint>

#include "lzx_encoder_internal.h"

namespace lzx::detail {

// From this length on a match is taken whole: the finder stops looking for
// longer ones and lists nothing for the positions it covers, and the parser
// does not branch inside it. This keeps long runs cheap.
inline constexpr uint32_t kNiceLength = 96;

class MatchFinder {
 public:
  MatchFinder();

  // Lists the matches of every position of data[0, n), n at most
  // kBlockSize; data must stay readable and unchanged while the lists are
  // used.
  void find(const uint8_t* data, uint32_t n);

  // Matches at pos by increasing distance and non-decreasing length: the
  // nearest 2-byte match, then along the 3-byte hash chain the nearest match
  // of every longer length, each followed by a second distance of the same
  // length when there is one before a longer match.
  const Match* begin(uint32_t pos) const { return matches_ + first_[pos]; }
  const Match* end(uint32_t pos) const { return matches_ + first_[pos + 1]; }
  // The nearest of the longest matches at pos; begin(pos) != end(pos).
  const Match& longest(uint32_t pos) const {
    const Match* e = end(pos);
    return e - begin(pos) >= 2 && e[-2].length == e[-1].length ? e[-2] : e[-1];
  }

 private:
  static constexpr unsigned kHashBits = 14;
  static constexpr unsigned kChainDepth = 128;
  // Room for the lists: an average of 16 matches per position, and at most
  // kMaxPerPosition at one position.
  static constexpr uint32_t kCapacity = kBlockSize * 16;
  static constexpr uint32_t kMaxPerPosition = 32;

  static uint32_t hash3(const uint8_t* p) {
    return (p[0] | p[1] << 8 | p[2] << 16) * 2654435761u >> (32 - kHashBits);
  }

  int16_t head2_[1u << 16];  // last position of each 2-byte value
  int16_t head3_[1u << kHashBits];
  int16_t chain_[kBlockSize];
  uint32_t first_[kBlockSize + 1];
  Match matches_[kCapacity];
};

}  // namespace lzx::detail
