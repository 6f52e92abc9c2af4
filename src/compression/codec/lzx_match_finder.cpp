// Hash-chain match finder over one block. The nearest 2-byte match comes
// from a table indexed by the two bytes themselves; longer matches from a
// chain of earlier positions with the same 3-byte hash, walked from the
// nearest up to kChainDepth links.
#include "lzx_match_finder.h"

#include <algorithm>
#include <cstring>

namespace lzx::detail {
namespace {

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

MatchFinder::MatchFinder() {
  std::fill(std::begin(head2_), std::end(head2_), int16_t(-1));
  std::fill(std::begin(head3_), std::end(head3_), int16_t(-1));
}

void MatchFinder::find(const uint8_t* data, uint32_t n) {
  uint32_t count = 0;
  uint32_t skip_until = 0;
  for (uint32_t pos = 0; pos < n; ++pos) {
    first_[pos] = count;
    const uint32_t avail = n - pos;
    if (avail < kMinMatch) continue;
    const uint8_t* p = data + pos;
    const uint32_t key2 = p[0] | p[1] << 8;
    const int near = head2_[key2];
    head2_[key2] = int16_t(pos);
    int cand = -1;
    if (avail >= 3) {
      const uint32_t h3 = hash3(p);
      cand = head3_[h3];
      chain_[pos] = int16_t(cand);
      head3_[h3] = int16_t(pos);
    }
    if (pos < skip_until || near < 0) continue;
    const uint32_t limit = std::min(kMaxMatch, avail);
    const uint32_t room = std::min(kMaxPerPosition, kCapacity - count);
    const uint32_t stop = count + room;
    if (room == 0) continue;
    uint32_t best = match_length(p, data + near, limit);
    matches_[count++] = {uint16_t(best), uint16_t(pos - uint32_t(near))};
    bool tie_open = true;  // no second distance of this length yet
    for (unsigned depth = kChainDepth; cand >= 0 && depth > 0 && best < limit && count < stop;
         cand = chain_[cand], --depth) {
      const uint8_t* q = data + cand;
      // A candidate must match beyond the best length, or up to it while a
      // second distance is wanted.
      const uint32_t probe = tie_open ? best - 1 : best;
      if (probe >= 3 ? load_u32(q + probe - 3) != load_u32(p + probe - 3) : q[probe] != p[probe]) continue;
      if (q[0] != p[0]) continue;
      const uint32_t l = match_length(p, q, limit);
      if (l > best) {
        best = l;
        matches_[count++] = {uint16_t(l), uint16_t(pos - uint32_t(cand))};
        tie_open = true;
        if (best >= kNiceLength) break;
      } else if (l == best && tie_open) {
        matches_[count++] = {uint16_t(l), uint16_t(pos - uint32_t(cand))};
        tie_open = false;
      }
    }
    if (best >= kNiceLength) skip_until = pos + best;
  }
  first_[n] = count;
  // Empty the heads again for the next block, touching only those set.
  for (uint32_t pos = 0; pos + 1 < n; ++pos) {
    head2_[data[pos] | data[pos + 1] << 8] = -1;
    if (pos + 2 < n) head3_[hash3(data + pos)] = -1;
  }
}

}  // namespace lzx::detail
