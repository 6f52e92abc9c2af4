#include "run/used_blocks.h"

#include <algorithm>
#include <iterator>

namespace xipsaw {

size_t UsedBlocks::find(uint32_t address) const {
  const size_t mask = slots_.size() - 1;
  size_t at = static_cast<size_t>(address * 0x9E3779B1u) & mask;
  while (slots_[at].address != 0 && slots_[at].address != address) at = (at + 1) & mask;
  return at;
}

void UsedBlocks::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, 0});
  for (const Slot& slot : old)
    if (slot.address != 0) slots_[find(slot.address)] = slot;
}

bool UsedBlocks::began(uint32_t address, uint32_t& earlier) const {
  if (address == 0 || slots_.empty()) return false;
  const Slot& slot = slots_[find(address)];
  if (slot.address != address) return false;
  earlier = slot.name_address;
  return true;
}

UsedBlocks::Use UsedBlocks::use(uint32_t address, uint32_t size, uint32_t name_address, uint32_t& earlier) {
  if (address == 0) return Use::first;
  if (began(address, earlier)) return Use::reused;
  if (count_ == kMaxBlocks || spans_.size() >= kMaxSpans) return Use::too_many;
  const uint64_t end = std::min(uint64_t{address} + size, uint64_t{1} << 32);
  const bool shared = share(address, end, name_address, earlier);
  // A block refused here is kept too, under the entry it shares most with,
  // so that the entries that begin where it did are refused at once.
  if (2 * (count_ + 1) > slots_.size()) grow();
  slots_[find(address)] = {address, shared ? name_address : earlier};
  ++count_;
  return shared ? Use::first : Use::reused;
}

bool UsedBlocks::share(uint64_t start, uint64_t end, uint32_t name_address, uint32_t& earlier) {
  // The spans that [start, end) meets, and the bytes it shares with them.
  auto first = spans_.upper_bound(static_cast<uint32_t>(start));
  if (first != spans_.begin() && std::prev(first)->second.end > start) --first;
  uint64_t shared = 0;
  bool over = false;
  auto met = first;
  for (; !over && met != spans_.end() && met->first < end; ++met) {
    shared += std::min(end, met->second.end) - std::max<uint64_t>(start, met->first);
    over = shared_ + shared > kSharedBudget;
  }
  if (over) {
    // Refused for the entry it shares most with. The spans met become one
    // span of that entry, so that a refusal costs as much as the spans it
    // removes, however many entries the image refuses over them.
    std::map<uint32_t, uint64_t> by_entry;
    for (auto s = first; s != met; ++s)
      by_entry[s->second.name_address] += std::min(end, s->second.end) - std::max<uint64_t>(start, s->first);
    earlier = first->second.name_address;
    for (auto s = first; s != met; ++s)
      if (by_entry[s->second.name_address] > by_entry[earlier]) earlier = s->second.name_address;
    first->second = {std::prev(met)->second.end, earlier};
    spans_.erase(std::next(first), met);
    return false;
  }
  shared_ += shared;
  // The bytes no earlier block used become this entry's.
  for (uint64_t at = start; at < end;) {
    auto next = spans_.lower_bound(static_cast<uint32_t>(at));
    if (next != spans_.begin() && std::prev(next)->second.end > at) {
      at = std::prev(next)->second.end;
    } else if (next != spans_.end() && next->first == at) {
      at = next->second.end;
    } else {
      const uint64_t gap_end = next == spans_.end() ? end : std::min<uint64_t>(end, next->first);
      add(at, gap_end, name_address);
      at = gap_end;
    }
  }
  return true;
}

void UsedBlocks::add(uint64_t start, uint64_t end, uint32_t name_address) {
  // Spans of one entry that meet are kept as one.
  auto next = spans_.lower_bound(static_cast<uint32_t>(start));
  auto joined = spans_.end();
  if (next != spans_.begin()) {
    auto before = std::prev(next);
    if (before->second.end == start && before->second.name_address == name_address) {
      before->second.end = end;
      joined = before;
    }
  }
  if (joined == spans_.end()) joined = spans_.emplace_hint(next, static_cast<uint32_t>(start), Span{end, name_address});
  if (next != spans_.end() && next->first == end && next->second.name_address == name_address) {
    joined->second.end = next->second.end;
    spans_.erase(next);
  }
}

void UsedBlocks::clear() {
  slots_.clear();
  count_ = 0;
  spans_.clear();
  shared_ = 0;
}

}  // namespace xipsaw
