// Raw images: a file that is no BIN container may hold images as they lie in
// flash, each from its first byte on. An image at file offset o has "ECEC"
// at o + 0x40 and its ROM header address P at o + 0x44; its ROM header lies
// at r = o + (P - physfirst) and is taken only when its tables end inside
// the image and inside the file: physfirst <= P, E = P + 84 + 32 x
// module_count + 28 x file_count <= physlast, and o + (E - physfirst) <= the
// file's size. Of several such headers for one o, the first from o on.
//
// Written with keys, the rule is a join: a candidate (o, P) and a header at
// r with (physfirst, physlast, tables) match when o + P = r + physfirst, o
// <= r, and r - o <= physlast - physfirst - tables (the header's slack);
// and r + tables <= the file's size depends on the header alone. The
// search finds every match in passes over the file that take time linear
// in its size, with memory bounded whatever it holds.
#pragma once

#include <cstdint>
#include <vector>

#include "image/bin_stream.h"

namespace xipsaw {

struct RawMatch {
  int64_t offset;      // o, the image's first byte in the file
  uint32_t physfirst;  // its first address
};

// A ROM header that may serve some candidate: r + tables <= the file's size
// and tables <= physlast - physfirst.
struct HeaderKey {
  int64_t position;   // r
  uint64_t key;       // r + physfirst
  int64_t threshold;  // r - slack: a candidate at o is served only when o >= threshold
};

// Whether the 84 bytes at position may be a ROM header that serves some
// candidate; fills key when so.
bool header_key(const uint8_t* bytes, int64_t position, int64_t file_size, HeaderKey& key);

// The candidates of the forward pass, held until a header resolves them:
// key -> the candidates of that key, newest (largest o) first. A header
// with threshold t resolves exactly those with o >= t, a run at the newest
// end, so each candidate is looked at once when it is resolved and never
// again. Memory grows with the candidates held, up to a limit.
class PendingCandidates {
 public:
  explicit PendingCandidates(size_t limit) : limit_(limit) {}
  bool full() const { return held_ >= limit_; }
  size_t held() const { return held_; }
  bool empty() const { return held_ == 0; }
  void add(int64_t offset, uint64_t key);
  // Resolves the candidates that the header serves, reporting each.
  template <typename Report>
  void resolve(const HeaderKey& header, Report&& report);
  void clear();

 private:
  struct Node {
    int64_t offset;
    uint32_t older;  // the next node of the same key, kNone at the oldest
  };
  struct Slot {
    uint64_t key;
    uint32_t newest;  // kNone: the slot is empty
  };
  static constexpr uint32_t kNone = UINT32_MAX;

  size_t find_slot(uint64_t key) const;
  void grow();
  void erase_slot(size_t slot);

  size_t limit_;
  size_t held_ = 0;
  size_t keys_ = 0;
  std::vector<Slot> slots_;  // open addressing, a power of two, at most half full
  std::vector<Node> nodes_;
  uint32_t free_ = kNone;    // nodes freed by resolution, linked through older
};

// The headers of the second pass, when the candidates after some offset
// were too many to hold: sorted by key, then position, with the least
// threshold over each range at hand, so that a candidate finds the first
// header from it on that serves it in O(log n).
class HeldHeaders {
 public:
  explicit HeldHeaders(std::vector<HeaderKey> headers);
  // The first header at or after offset with key and threshold <= offset.
  const HeaderKey* serving(int64_t offset, uint64_t key) const;

 private:
  // The first index in [from, to) whose threshold is <= bound, or to.
  size_t first_at_most(size_t node, size_t lo, size_t hi, size_t from, size_t to, int64_t bound) const;

  std::vector<HeaderKey> headers_;
  std::vector<int64_t> least_;  // segment tree of least thresholds
};

// ---- PendingCandidates::resolve -------------------------------------------

template <typename Report>
void PendingCandidates::resolve(const HeaderKey& header, Report&& report) {
  if (held_ == 0) return;
  const size_t slot = find_slot(header.key);
  if (slots_[slot].newest == kNone) return;
  uint32_t node = slots_[slot].newest;
  while (node != kNone && nodes_[node].offset >= header.threshold) {
    report(nodes_[node].offset);
    const uint32_t older = nodes_[node].older;
    nodes_[node].older = free_;
    free_ = node;
    --held_;
    node = older;
  }
  slots_[slot].newest = node;
  if (node == kNone) erase_slot(slot);
}

}  // namespace xipsaw
