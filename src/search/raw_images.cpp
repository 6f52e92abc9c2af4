#include "search/raw_images.h"

#include <algorithm>

#include "common/le.h"
#include "image/rom_header.h"

namespace xipsaw {

bool header_key(const uint8_t* bytes, int64_t position, int64_t file_size, HeaderKey& key) {
  const uint64_t physfirst = load_u32(bytes + kRomPhysfirst);
  const uint64_t physlast = load_u32(bytes + kRomPhyslast);
  const uint64_t tables = rom_tables_size(bytes);
  if (physlast < physfirst + tables || position + static_cast<int64_t>(tables) > file_size) return false;
  key.position = position;
  key.key = static_cast<uint64_t>(position) + physfirst;
  key.threshold = position - static_cast<int64_t>(physlast - physfirst - tables);
  return true;
}

// ---- PendingCandidates ------------------------------------------------------

namespace {

uint64_t mix(uint64_t key) {
  key ^= key >> 31;
  key *= 0x7FB5D329728EA185ull;
  key ^= key >> 27;
  key *= 0x81DADEF4BC2DD44Dull;
  return key ^ (key >> 33);
}

}  // namespace

size_t PendingCandidates::find_slot(uint64_t key) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = mix(key) & mask;
  while (slots_[slot].newest != kNone && slots_[slot].key != key) slot = (slot + 1) & mask;
  return slot;
}

void PendingCandidates::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, kNone});
  for (const Slot& s : old)
    if (s.newest != kNone) slots_[find_slot(s.key)] = s;
}

// Removes a slot from a linear-probing table without tombstones: later
// entries of the probe run move back into the gap where their home allows.
void PendingCandidates::erase_slot(size_t slot) {
  const size_t mask = slots_.size() - 1;
  slots_[slot].newest = kNone;
  --keys_;
  for (size_t next = (slot + 1) & mask; slots_[next].newest != kNone; next = (next + 1) & mask) {
    const size_t home = mix(slots_[next].key) & mask;
    // The entry may fill the gap unless its home lies cyclically in (gap, next].
    if (((next - home) & mask) >= ((next - slot) & mask)) {
      slots_[slot] = slots_[next];
      slots_[next].newest = kNone;
      slot = next;
    }
  }
}

void PendingCandidates::add(int64_t offset, uint64_t key) {
  if (full()) return;
  if ((keys_ + 1) * 2 > slots_.size()) grow();
  uint32_t node;
  if (free_ != kNone) {
    node = free_;
    free_ = nodes_[node].older;
  } else {
    node = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back({});
  }
  const size_t slot = find_slot(key);
  if (slots_[slot].newest == kNone) {
    slots_[slot].key = key;
    ++keys_;
  }
  nodes_[node] = {offset, slots_[slot].newest};
  slots_[slot].newest = node;
  ++held_;
}

void PendingCandidates::clear() {
  std::vector<Slot>().swap(slots_);
  std::vector<Node>().swap(nodes_);
  held_ = keys_ = 0;
  free_ = kNone;
}

// ---- HeldHeaders -------------------------------------------------------------

HeldHeaders::HeldHeaders(std::vector<HeaderKey> headers) : headers_(std::move(headers)) {
  std::sort(headers_.begin(), headers_.end(), [](const HeaderKey& a, const HeaderKey& b) {
    return a.key != b.key ? a.key < b.key : a.position < b.position;
  });
  size_t leaves = 1;
  while (leaves < headers_.size()) leaves *= 2;
  least_.assign(2 * leaves, INT64_MAX);
  for (size_t i = 0; i < headers_.size(); ++i) least_[leaves + i] = headers_[i].threshold;
  for (size_t i = leaves - 1; i > 0; --i) least_[i] = std::min(least_[2 * i], least_[2 * i + 1]);
}

size_t HeldHeaders::first_at_most(size_t node, size_t lo, size_t hi, size_t from, size_t to, int64_t bound) const {
  if (hi <= from || lo >= to || least_[node] > bound) return to;
  if (hi - lo == 1) return lo;
  const size_t mid = lo + (hi - lo) / 2;
  const size_t left = first_at_most(2 * node, lo, mid, from, to, bound);
  return left != to ? left : first_at_most(2 * node + 1, mid, hi, from, to, bound);
}

const HeaderKey* HeldHeaders::serving(int64_t offset, uint64_t key) const {
  // The headers of the key from offset on, in position order.
  auto from = std::lower_bound(headers_.begin(), headers_.end(), std::pair{key, offset},
                               [](const HeaderKey& h, const std::pair<uint64_t, int64_t>& k) {
                                 return h.key != k.first ? h.key < k.first : h.position < k.second;
                               });
  auto to = std::upper_bound(from, headers_.end(), key, [](uint64_t k, const HeaderKey& h) { return k < h.key; });
  if (from == to) return nullptr;
  const size_t first = first_at_most(1, 0, least_.size() / 2, static_cast<size_t>(from - headers_.begin()),
                                     static_cast<size_t>(to - headers_.begin()), offset);
  return first == static_cast<size_t>(to - headers_.begin()) ? nullptr : &headers_[first];
}

}  // namespace xipsaw
