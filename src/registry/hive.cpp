#include "registry/hive.h"

#include <algorithm>
#include <cstring>

#include "common/le.h"

namespace xipsaw {

using namespace hive;

namespace {

constexpr uint32_t kLeastSplit = kHeaderSize + 4;  // the least free record a split leaves behind
constexpr uint32_t kPageHead = 4 * kSlotsPerPage;  // the free-list head, after the entries

// Whether a free block of room bytes takes a payload of size bytes: exactly,
// or with a free record left over.
bool fits(uint32_t room, uint32_t size) { return room == size || room >= size + kLeastSplit; }

uint32_t next_free_entry(uint32_t slot) { return slot << 18; }  // the slot * 4, shifted left 16

}  // namespace

bool Hive::has_signature(const uint8_t* content, size_t size) {
  return size >= kSignatureOffset + 4 && std::memcmp(content + kSignatureOffset, "EKIM", 4) == 0;
}

uint32_t Hive::u32(uint32_t offset) const { return load_u32(bytes_.data() + offset); }
uint16_t Hive::u16(uint32_t offset) const { return load_u16(bytes_.data() + offset); }
void Hive::set_u32(uint32_t offset, uint32_t value) { store_u32(bytes_.data() + offset, value); }
void Hive::set_u16(uint32_t offset, uint32_t value) { store_u16(bytes_.data() + offset, value); }

bool Hive::open(std::vector<uint8_t> content, std::string& why) {
  bytes_ = std::move(content);
  records_.clear();
  pages_.clear();
  free_blocks_.clear();
  const size_t size = bytes_.size();
  if (size < kHeap + kHeaderSize + kPagePayload || size > kMaxHiveSize) {
    why = size > kMaxHiveSize ? "it is larger than 16 MiB" : "it is too short for a hive";
    return false;
  }
  if (u32(kSizeOffset) != size) {
    why = "its size word says " + std::to_string(u32(kSizeOffset)) + " bytes, the file has " + std::to_string(size);
    return false;
  }
  for (uint32_t at = kHeap; at < size;) {
    if (size - at < kHeaderSize) {
      why = "its heap does not walk to its end";
      return false;
    }
    const uint32_t header = u32(at);
    const uint32_t type = header >> 28;
    uint32_t payload = header & kSizeMask;
    if (type == kFree) {
      if ((payload & kFreeBit) == 0) {
        why = "a free record at heap offset " + std::to_string(at - kHeap) + " lacks its mark";
        return false;
      }
      payload &= ~kFreeBit;
      free_blocks_[at - kHeap] = payload;
    } else if (type != kHandlePage && type != kRoot && type != kKey && type != kValue) {
      why = "a record at heap offset " + std::to_string(at - kHeap) + " has the unknown type " + std::to_string(type);
      return false;
    }
    if (payload % 4 != 0 || size - at - kHeaderSize < payload) {
      why = "its heap does not walk to its end";
      return false;
    }
    records_.push_back(at - kHeap);
    at += kHeaderSize + payload;
  }
  // Page 0 lies at heap offset 0, so 0 ends the directory only after it.
  pages_.push_back(u32(kPageDirectory));
  for (uint32_t p = 1; p < kDirectoryEntries && u32(kPageDirectory + 4 * p) != 0; ++p)
    pages_.push_back(u32(kPageDirectory + 4 * p));
  for (uint32_t p = 0; p < pages_.size(); ++p) {
    const uint32_t at = kHeap + pages_[p];
    if (!std::binary_search(records_.begin(), records_.end(), pages_[p]) ||
        u32(at) != record_header(kHandlePage, kPagePayload) || u32(at + kIdOffset) != p) {
      why = "its handle table page " + std::to_string(p) + " is not where the page directory says";
      return false;
    }
  }
  return true;
}

uint32_t Hive::entry_offset(uint32_t index) const {
  return kHeap + pages_[index / kSlotsPerPage] + kHeaderSize + 4 * (index % kSlotsPerPage);
}

bool Hive::find(uint32_t handle, uint32_t type, uint32_t& payload, uint32_t& payload_size) const {
  const uint32_t index = handle & kIndexMask;
  if ((handle & ~kIndexMask) != kHandleTag || index >= handle_count()) return false;
  const uint32_t entry = u32(entry_offset(index));
  const uint32_t record = entry & ~kUsedEntry;
  if ((entry & kUsedEntry) == 0 || !std::binary_search(records_.begin(), records_.end(), record)) return false;
  const uint32_t header = u32(kHeap + record);
  if (header >> 28 != type || u32(kHeap + record + kIdOffset) != index) return false;
  payload = kHeap + record + kHeaderSize;
  payload_size = header & kSizeMask;
  return true;
}

uint32_t Hive::payload_of(uint32_t handle) const {
  return kHeap + (u32(entry_offset(handle & kIndexMask)) & ~kUsedEntry) + kHeaderSize;
}

void Hive::write_free(uint32_t heap_offset, uint32_t payload_size) {
  std::memset(at(kHeap + heap_offset), 0, kHeaderSize + payload_size);
  set_u32(kHeap + heap_offset, record_header(kFree, payload_size | kFreeBit));
  free_blocks_[heap_offset] = payload_size;
}

bool Hive::grow(uint32_t needed) {
  const uint32_t heap_end = static_cast<uint32_t>(bytes_.size()) - kHeap;
  uint32_t tail = heap_end;  // where the free record at the tail begins
  uint32_t room = 0;         // its payload, before and after growing
  if (!free_blocks_.empty()) {
    const auto last = std::prev(free_blocks_.end());
    if (last->first + kHeaderSize + last->second == heap_end) {
      tail = last->first;
      room = last->second;
    }
  }
  uint32_t added = 0;
  do {
    added += kGrowthStep;
    room = tail == heap_end ? added - kHeaderSize : room + kGrowthStep;
  } while (!fits(room, needed) && added <= kMaxHiveSize);
  if (bytes_.size() + added > kMaxHiveSize) return false;
  bytes_.resize(bytes_.size() + added, 0);
  set_u32(kSizeOffset, static_cast<uint32_t>(bytes_.size()));
  write_free(tail, room);
  return true;
}

bool Hive::allocate(uint32_t type, uint32_t payload_size, uint32_t index, uint32_t& payload) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (auto it = free_blocks_.begin(); it != free_blocks_.end(); ++it) {
      const uint32_t block = it->first;
      const uint32_t room = it->second;
      if (!fits(room, payload_size)) continue;
      free_blocks_.erase(it);
      if (room != payload_size) write_free(block + kHeaderSize + payload_size, room - payload_size - kHeaderSize);
      std::memset(at(kHeap + block), 0, kHeaderSize + payload_size);
      set_u32(kHeap + block, record_header(type, payload_size));
      set_u32(kHeap + block + kIdOffset, index);
      payload = kHeap + block + kHeaderSize;
      return true;
    }
    if (!grow(payload_size)) return false;
  }
  return false;
}

void Hive::release(uint32_t payload) {
  uint32_t start = payload - kHeaderSize - kHeap;
  uint32_t room = payload_size_of(payload);
  const auto next = free_blocks_.find(start + kHeaderSize + room);
  if (next != free_blocks_.end()) {
    room += kHeaderSize + next->second;
    free_blocks_.erase(next);
  }
  const auto after = free_blocks_.lower_bound(start);
  if (after != free_blocks_.begin()) {
    const auto before = std::prev(after);
    if (before->first + kHeaderSize + before->second == start) {
      room += kHeaderSize + before->second;
      start = before->first;
      free_blocks_.erase(before);
    }
  }
  write_free(start, room);
}

bool Hive::take_handle(uint32_t& index, std::string& why) {
  for (uint32_t p = 0; p < pages_.size(); ++p) {
    const uint32_t head = kHeap + pages_[p] + kHeaderSize + kPageHead;
    // Slot 0 is never on a list: a head of 0 means the page is full.
    const uint32_t slot = u32(head);
    if (slot == 0) continue;
    const uint32_t entry = slot < kSlotsPerPage ? u32(entry_offset(p * kSlotsPerPage + slot)) : kUsedEntry;
    if ((entry & 0x3FFFF) != 0 || (entry >> 18) >= kSlotsPerPage) {
      why = "the hive's list of free handles is damaged";
      return false;
    }
    set_u32(head, entry >> 18);
    index = p * kSlotsPerPage + slot;
    return true;
  }
  // Every page is full: a new one, whose slot 0 is the caller's and whose
  // other slots make its free list in ascending order.
  const auto page = static_cast<uint32_t>(pages_.size());
  uint32_t payload = 0;
  if (page == kDirectoryEntries || !allocate(kHandlePage, kPagePayload, page, payload)) {
    why = "the hive has no room for another handle";
    return false;
  }
  for (uint32_t slot = 1; slot + 1 < kSlotsPerPage; ++slot) set_u32(payload + 4 * slot, next_free_entry(slot + 1));
  set_u32(payload + kPageHead, 1);
  pages_.push_back(payload - kHeaderSize - kHeap);
  set_u32(kPageDirectory + 4 * page, pages_.back());
  index = page * kSlotsPerPage;
  return true;
}

void Hive::point(uint32_t index, uint32_t payload) {
  set_u32(entry_offset(index), (payload - kHeaderSize - kHeap) | kUsedEntry);
}

void Hive::release_handle(uint32_t index) {
  const uint32_t slot = index % kSlotsPerPage;
  const uint32_t head = kHeap + pages_[index / kSlotsPerPage] + kHeaderSize + kPageHead;
  // A slot 0 stays off the list, where 0 would end it.
  set_u32(entry_offset(index), slot == 0 ? 0 : next_free_entry(u32(head)));
  if (slot != 0) set_u32(head, slot);
}

}  // namespace xipsaw
