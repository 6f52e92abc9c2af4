#include "run/used_blocks.h"

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

UsedBlocks::Use UsedBlocks::use(uint32_t address, uint32_t name_address, uint32_t& earlier) {
  if (address == 0) return Use::first;
  if (!slots_.empty()) {
    const Slot& slot = slots_[find(address)];
    if (slot.address == address) {
      earlier = slot.name_address;
      return Use::reused;
    }
  }
  if (count_ == kMaxBlocks) return Use::too_many;
  if (2 * (count_ + 1) > slots_.size()) grow();
  slots_[find(address)] = {address, name_address};
  ++count_;
  return Use::first;
}

void UsedBlocks::clear() {
  slots_.clear();
  count_ = 0;
}

}  // namespace xipsaw
