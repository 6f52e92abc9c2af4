#include "registry/flat_registry.h"

#include "common/le.h"
#include "registry/registry_text.h"

namespace xipsaw {

namespace {

constexpr size_t kFirstRecord = 8;
constexpr size_t kRecordHead = 10;  // length, kind, type, name length, data length
enum Kind : uint16_t { kKeyRecord = 1, kValueRecord = 2 };

struct FlatRecord {
  uint16_t kind, type;
  std::u16string name;
  const uint8_t* data;
  uint16_t data_length;
};

// Calls visit for each record while it returns true; whether the records
// walk exactly to the end of content.
template <typename Visit>
bool walk(const std::vector<uint8_t>& content, Visit&& visit) {
  size_t at = kFirstRecord;
  while (content.size() - at >= kRecordHead) {
    const uint8_t* r = content.data() + at;
    const size_t length = load_u16(r);
    const uint16_t kind = load_u16(r + 2);
    const uint16_t name_length = load_u16(r + 6);
    const uint16_t data_length = load_u16(r + 8);
    if ((kind != kKeyRecord && kind != kValueRecord) || length < 6 + 2 * size_t{name_length} + data_length ||
        content.size() - at - 4 < length)
      return false;
    // The name's terminating NUL is no part of it.
    std::u16string name = utf16_from_bytes(r + kRecordHead, name_length);
    if (!name.empty() && name.back() == u'\0') name.pop_back();
    if (!visit(FlatRecord{kind, load_u16(r + 4), std::move(name), r + kRecordHead + 2 * name_length, data_length}))
      return false;
    at += 4 + length;
  }
  return at == content.size();
}

}  // namespace

bool is_flat_registry(const std::vector<uint8_t>& content) {
  return content.size() > kFirstRecord && load_u32(content.data() + 4) == content.size() &&
         walk(content, [](const FlatRecord&) { return true; });
}

bool read_flat_registry(const std::vector<uint8_t>& content, RegistryTree& tree, std::string& why) {
  tree = {};
  tree.names_are_paths = true;
  RegistryKey* key = nullptr;
  why.clear();
  walk(content, [&](const FlatRecord& record) {
    if (record.kind == kKeyRecord) {
      if (record.type >= kRootCount) {
        why = "a key has the unknown root " + std::to_string(record.type);
        return false;
      }
      tree.roots[record.type].push_back(static_cast<uint32_t>(tree.keys.size()));
      key = &tree.keys.emplace_back();
      key->name = record.name;
      return true;
    }
    if (key == nullptr) {
      why = "a value comes before any key";
      return false;
    }
    key->values.push_back(static_cast<uint32_t>(tree.values.size()));
    tree.values.push_back({record.name, record.type, {record.data, record.data + record.data_length}, 0});
    return true;
  });
  return why.empty();
}

}  // namespace xipsaw
