#include "hive_builder.h"

#include <functional>
#include <stdexcept>

namespace testkit {

namespace {

constexpr uint32_t kHeap = 0x5000;

uint32_t align4(size_t n) { return static_cast<uint32_t>((n + 3) & ~size_t{3}); }

void put_text(Bytes& b, size_t at, const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) put_u16(b, at + 2 * i, text[i]);
}

// The heap as it is laid: records appended, each a header, a 0, its id.
struct Heap {
  Bytes bytes;
  uint32_t add(uint32_t type, uint32_t size, uint32_t id) {
    const auto at = static_cast<uint32_t>(bytes.size());
    bytes.resize(at + 12 + size);
    put_u32(bytes, at, type << 28 | size);
    put_u32(bytes, at + 8, id);
    return at;
  }
};

}  // namespace

HiveValue string_value(const std::u16string& name, const std::u16string& text) {
  HiveValue v{name, 1, Bytes(2 * text.size() + 2)};
  put_text(v.data, 0, text);
  return v;
}

HiveValue dword_value(const std::u16string& name, uint32_t value) {
  HiveValue v{name, 4, Bytes(4)};
  put_u32(v.data, 0, value);
  return v;
}

Bytes HiveBuilder::build() const {
  Heap heap;
  heap.add(0x2, 4 * 1025, 0);  // handle table page 0
  std::vector<uint32_t> offsets{heap.add(0xB, 32, 0)};  // by handle index
  auto handle = [](uint32_t index) { return 0x20000000u | index; };
  // Lays out the list's items depth first; returns the handle of its head,
  // the newest item.
  std::function<uint32_t(const std::vector<HiveKey>&)> keys = [&](const std::vector<HiveKey>& list) {
    uint32_t older = 0;
    for (const HiveKey& key : list) {
      const auto index = static_cast<uint32_t>(offsets.size());
      const uint32_t at = heap.add(0xC, align4(16 + 2 * key.name.size()), index);
      offsets.push_back(at);
      put_u32(heap.bytes, at + 12, older);
      put_u32(heap.bytes, at + 24, static_cast<uint32_t>(key.name.size()));
      put_text(heap.bytes, at + 28, key.name);
      uint32_t older_value = 0;
      for (const HiveValue& value : key.values) {
        const auto value_index = static_cast<uint32_t>(offsets.size());
        const uint32_t v = heap.add(0xD, align4(12 + 2 * value.name.size() + value.data.size()), value_index);
        offsets.push_back(v);
        put_u32(heap.bytes, v + 12, older_value);
        put_u16(heap.bytes, v + 16, value.type);
        put_u16(heap.bytes, v + 18, static_cast<uint32_t>(value.data.size()));
        put_u16(heap.bytes, v + 20, static_cast<uint32_t>(value.name.size()));
        put_text(heap.bytes, v + 22, value.name);
        std::copy(value.data.begin(), value.data.end(), heap.bytes.begin() + v + 22 + 2 * value.name.size());
        older_value = handle(value_index);
      }
      put_u32(heap.bytes, at + 20, older_value);
      const uint32_t subkeys = keys(key.subkeys);
      put_u32(heap.bytes, offsets[index] + 16, subkeys);
      older = handle(index);
    }
    return older;
  };
  for (size_t r = 0; r < roots.size(); ++r) put_u32(heap.bytes, offsets[0] + 12 + 4 * r, keys(roots[r]));
  if (offsets.size() > 1024) throw std::length_error("the builder fills handle table page 0 only");
  for (uint32_t i = 0; i < 1024; ++i)
    put_u32(heap.bytes, 12 + 4 * i, i < offsets.size() ? offsets[i] | 1 : i + 1 < 1024 ? (i + 1) << 18 : 0);
  put_u32(heap.bytes, 12 + 4096, offsets.size() < 1024 ? static_cast<uint32_t>(offsets.size()) : 0);

  // The free tail, to the next 4096-byte step of the whole file.
  const size_t used = kHeap + heap.bytes.size();
  const size_t size = (used + 12 + 4095) / 4096 * 4096;
  const uint32_t tail = heap.add(0, static_cast<uint32_t>(size - used - 12), 0);
  put_u32(heap.bytes, tail, static_cast<uint32_t>(size - used - 12) | 1);
  Bytes file(kHeap);
  put_u32(file, 0, 0x400);
  std::copy_n("EKIM", 4, file.begin() + 8);
  put_u32(file, 0x20, static_cast<uint32_t>(size));
  file.insert(file.end(), heap.bytes.begin(), heap.bytes.end());
  return file;
}

Bytes build_flat_registry(const std::vector<FlatKey>& keys) {
  Bytes file(8);
  auto record = [&](uint16_t kind, uint16_t type, const std::u16string& name, const Bytes& data) {
    const size_t at = file.size();
    file.resize(at + 10 + 2 * (name.size() + 1) + data.size());
    put_u16(file, at, static_cast<uint32_t>(file.size() - at - 4));
    put_u16(file, at + 2, kind);
    put_u16(file, at + 4, type);
    put_u16(file, at + 6, static_cast<uint32_t>(name.size() + 1));
    put_u16(file, at + 8, static_cast<uint32_t>(data.size()));
    put_text(file, at + 10, name);
    std::copy(data.begin(), data.end(), file.end() - static_cast<std::ptrdiff_t>(data.size()));
  };
  for (const FlatKey& key : keys) {
    record(1, key.root, key.path, {});
    for (const HiveValue& value : key.values) record(2, value.type, value.name, value.data);
  }
  put_u32(file, 4, static_cast<uint32_t>(file.size()));
  return file;
}

}  // namespace testkit
