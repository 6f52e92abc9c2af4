// Compression into the older format: an exact optimal parse of each block.
//
// A block's size is the bytes of its items (a literal or a short copy 1, a
// copy 2, a long copy 3) plus one flag byte per group of up to 8 items. The
// items that can stand at a position depend on the data alone, and a copy
// costs the same wherever its source lies, since its position is absolute.
// So the smallest block is a shortest path with fixed costs over the states
// (position, items already in the current group), which dynamic programming
// from the block's end finds exactly: the flag bytes are counted as whole
// bytes, and every length of copy is weighed, not just the longest.
//
// No copy reads bytes it produces itself: its source ends at or before its
// own position (a short copy's distance is 2 or more). The real encoder never
// makes such a copy, and a device's decoder may copy with no overlap in mind.
// At each position the copies possible are then every length up to the
// longest match that ends before the position, found by walking hash chains
// to their end.
//
// Nor does a block begin as an LZX block's header does (u32 16, N, C, N),
// which would make it read as LZX: whatever N, the items those bytes spell
// either copy from bytes they produce or lose to short copies of the zeros
// they hold.
#include "lzss_encoder.h"

#include <algorithm>

#include "framing.h"
#include "lzss_format.h"
#include "matches.h"

namespace lzss {
namespace {

// The least cost over a window of positions, for the parse that runs from
// the block's end to its start: each position added lies below all those
// in the window, and the window's upper end never rises. A position whose
// cost is more than that of a lower one can never be the least again and is
// dropped, so positions rise and costs fall from the first entry to the
// last; of equal least costs the last entry is the highest position, the
// longest copy, which takes fewer items to decode.
class WindowMinimum {
 public:
  struct Entry {
    uint16_t position, cost;
  };

  void clear() { first_ = last_ = 0; }
  void add(uint32_t position, uint32_t cost) {
    while (first_ != last_ && at(first_).cost > cost) ++first_;
    at(--first_) = {uint16_t(position), uint16_t(cost)};
  }
  // Drops the positions above end.
  void keep_up_to(uint32_t end) {
    while (first_ != last_ && at(last_ - 1).position > end) --last_;
  }
  bool empty() const { return first_ == last_; }
  Entry least() const { return entries_[(last_ - 1) & kMask]; }

 private:
  // A window spans at most kMaxLongLength positions.
  static constexpr uint32_t kMask = 511;
  static_assert(kMaxLongLength < kMask);
  Entry& at(uint32_t i) { return entries_[i & kMask]; }

  Entry entries_[kMask + 1];
  uint32_t first_ = 0, last_ = 0;  // the entries are [first_, last_), counted modulo 512
};

constexpr unsigned kHashBits = 14;
constexpr uint16_t kNoPosition = 0xFFFF;

uint32_t hash3(const uint8_t* p) { return (p[0] | p[1] << 8 | uint32_t(p[2]) << 16) * 2654435761u >> (32 - kHashBits); }

// Encodes blocks one at a time. All its memory is its own, so one encoder per
// thread needs no locking, and nothing it does allocates or throws.
class BlockEncoder final : public framing::BlockEncoder {
 public:
  uint32_t encode(const uint8_t* src, uint32_t n, uint8_t* out) noexcept override {
    find_copies(src, n);
    parse(n);
    return write(src, n, out);
  }

 private:
  void find_copies(const uint8_t* src, uint32_t n);
  void parse(uint32_t n);
  uint32_t write(const uint8_t* src, uint32_t n, uint8_t* out) const;

  uint16_t head_[1u << kHashBits];  // the last position of each hash of 3 bytes
  uint16_t chain_[kBlockSize];      // the position before with the same hash
  uint16_t longest_[kBlockSize];    // the longest copy at each position (at most kMaxLongLength)
  uint16_t source_[kBlockSize];     // its source, which serves every shorter length too
  uint8_t near_[kBlockSize];        // the distance of a short copy, or 0
  // Bytes from a position to the block's end with k items already in the
  // current group, and the length of the item that begins the best way (1
  // for a literal).
  uint16_t cost_[kBlockSize + 1][kItemsPerGroup];
  uint16_t step_[kBlockSize][kItemsPerGroup];
  // The positions a copy or a long copy can reach from the position at
  // hand, per count of items in the group after it.
  WindowMinimum copies_[kItemsPerGroup];
  WindowMinimum long_copies_[kItemsPerGroup];
};

// The longest copy at a position is the longest match with an earlier
// position s that ends at or before it: min(common length, pos - s), capped
// at kMaxLongLength and the block's end. A copy of L bytes at pos from s
// gives one of L - 1 bytes at pos + 1 from s + 1, so each search starts from
// that and only a longer match is looked for; this also makes the longest
// length fall by at most one from a position to the next, which the windows
// of the parse rely on.
void BlockEncoder::find_copies(const uint8_t* src, uint32_t n) {
  std::fill(std::begin(head_), std::end(head_), kNoPosition);
  uint32_t carried = 0, carried_source = 0;
  for (uint32_t pos = 0; pos < n; ++pos) {
    near_[pos] = 0;
    if (n - pos >= kShortCopyLength) {
      const uint32_t farthest = std::min(pos, kMaxShortDistance);
      for (uint32_t d = kMinShortDistance; d <= farthest; ++d) {
        if (src[pos - d] == src[pos] && src[pos - d + 1] == src[pos + 1]) {
          near_[pos] = uint8_t(d);
          break;
        }
      }
    }
    uint32_t best = carried, source = carried_source;
    const uint32_t cap = std::min(kMaxLongLength, n - pos);
    if (cap >= kMinCopyLength) {
      const uint32_t h = hash3(src + pos);
      // The chain runs from the latest position down, and those from
      // pos - best on are too close to do better. When no other lies
      // between them and the carried source, itself in the chain (its 3
      // bytes are those at pos), the walk starts there: in long runs of
      // one byte it then takes a step or two rather than hundreds.
      uint32_t s = best >= kMinCopyLength && pos - best <= source + 1 ? source : head_[h];
      for (; s != kNoPosition && best < cap; s = chain_[s]) {
        // Only a source far enough back and matching one byte more can do better.
        if (pos - s <= best || src[s + best] != src[pos + best]) continue;
        const uint32_t l = codec::match_length(src + s, src + pos, std::min(pos - s, cap));
        if (l > best) best = l, source = s;
      }
      chain_[pos] = head_[h];
      head_[h] = uint16_t(pos);
    }
    longest_[pos] = uint16_t(best);
    source_[pos] = uint16_t(source);
    carried = best > 0 ? best - 1 : 0;
    carried_source = source + 1;
  }
}

void BlockEncoder::parse(uint32_t n) {
  std::fill(std::begin(cost_[n]), std::end(cost_[n]), 0);
  for (unsigned g = 0; g < kItemsPerGroup; ++g) copies_[g].clear(), long_copies_[g].clear();
  for (uint32_t pos = n; pos-- > 0;) {
    const uint32_t copy_end = pos + std::min<uint32_t>(longest_[pos], kMaxCopyLength);
    const uint32_t long_end = pos + longest_[pos];
    for (unsigned g = 0; g < kItemsPerGroup; ++g) {
      if (pos + kMinCopyLength <= n) copies_[g].add(pos + kMinCopyLength, cost_[pos + kMinCopyLength][g]);
      copies_[g].keep_up_to(copy_end);
      if (pos + kMinLongLength <= n) long_copies_[g].add(pos + kMinLongLength, cost_[pos + kMinLongLength][g]);
      long_copies_[g].keep_up_to(long_end);
    }
    for (unsigned k = 0; k < kItemsPerGroup; ++k) {
      const unsigned g = (k + 1) % kItemsPerGroup;  // items in the group after this one
      // Of equal costs the longer item is taken: fewer items decode faster.
      uint32_t best = ~0u, length = 0;
      auto consider = [&](uint32_t cost, uint32_t item_length) {
        if (cost < best) best = cost, length = item_length;
      };
      if (!long_copies_[g].empty())
        consider(kLongCopyBytes + long_copies_[g].least().cost, long_copies_[g].least().position - pos);
      if (!copies_[g].empty()) consider(kCopyBytes + copies_[g].least().cost, copies_[g].least().position - pos);
      if (near_[pos] != 0) consider(kShortCopyBytes + cost_[pos + kShortCopyLength][g], kShortCopyLength);
      consider(kLiteralBytes + cost_[pos + 1][g], 1);
      cost_[pos][k] = uint16_t(best + (k == 0));  // the first item of a group brings its flag byte
      step_[pos][k] = uint16_t(length);
    }
  }
}

uint32_t BlockEncoder::write(const uint8_t* src, uint32_t n, uint8_t* out) const {
  uint32_t at = 0, flags_at = 0;
  unsigned k = 0;
  for (uint32_t pos = 0; pos < n; k = (k + 1) % kItemsPerGroup) {
    const uint32_t length = step_[pos][k];
    if (k == 0) out[flags_at = at++] = 0;
    if (length == 1) {
      out[at++] = src[pos];
    } else if (length == kShortCopyLength) {
      out[flags_at] |= uint8_t(1u << k);
      out[at++] = uint8_t((near_[pos] - kMinShortDistance) << 4 | kShortCopyKind);
    } else {
      out[flags_at] |= uint8_t(1u << k);
      const bool long_copy = length >= kMinLongLength;
      const uint32_t w = uint32_t(source_[pos]) << 4 | (long_copy ? kLongCopyKind : length - 1);
      out[at++] = uint8_t(w);
      out[at++] = uint8_t(w >> 8);
      if (long_copy) out[at++] = uint8_t(length - kMinLongLength);
    }
    pos += length;
  }
  return at;
}

constexpr framing::BlockFormat kFormat{framing::make_encoder<BlockEncoder>, kMaxBlockBytes};

}  // namespace

namespace detail {

int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity,
                        unsigned threads) noexcept {
  return framing::compress(src, src_len, dst, capacity, threads, kFormat);
}

}  // namespace detail

int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) noexcept {
  return detail::compress_buffer(src, src_len, dst, capacity, framing::default_threads());
}

}  // namespace lzss
