#include "registry/hive_reader.h"

#include <algorithm>
#include <cstdio>

#include "registry/registry_text.h"

namespace xipsaw {

using namespace hive;

namespace {

class TreeReader {
 public:
  TreeReader(const Hive& hive, RegistryTree& tree, std::string& why)
      : hive_(hive), tree_(tree), why_(why), reached_(hive.handle_count()) {}

  bool read() {
    tree_ = {};
    uint32_t root = 0, size = 0;
    if (!hive_.find(handle_of(0), kRoot, root, size) || size < kRootPayload) return fail("its root record is missing");
    reached_[0] = true;
    for (uint32_t r = 0; r < kRootCount; ++r)
      if (!read_keys(hive_.u32(root + 4 * r), tree_.roots[r])) return false;
    // Each key's lists are read once the key is known; a stack rather than
    // recursion, for keys nested to any depth.
    while (!pending_.empty()) {
      const Pending p = pending_.back();
      pending_.pop_back();
      std::vector<uint32_t> subkeys;
      if (!read_values(p.first_value, p.key) || !read_keys(p.first_subkey, subkeys)) return false;
      tree_.keys[p.key].subkeys = std::move(subkeys);
    }
    return true;
  }

 private:
  struct Pending {
    uint32_t key, first_subkey, first_value;
  };

  bool fail(const std::string& why) {
    why_ = why;
    return false;
  }

  // Whether handle is a record of type not reached before; its payload.
  bool take(uint32_t handle, uint32_t type, uint32_t& payload, uint32_t& size) {
    char text[64];
    std::snprintf(text, sizeof text, "%s handle 0x%08x", type == kKey ? "the key" : "the value", handle);
    if (!hive_.find(handle, type, payload, size)) return fail(std::string(text) + " leads to no " +
                                                              (type == kKey ? "key" : "value"));
    if (reached_[handle & kIndexMask]) return fail(std::string(text) + " is reached twice: its lists loop");
    reached_[handle & kIndexMask] = true;
    return true;
  }

  // A list runs newest first from its head; the tree keeps it oldest first.
  // into is no key's own list: reading adds keys.
  bool read_keys(uint32_t handle, std::vector<uint32_t>& into) {
    for (uint32_t payload = 0, size = 0; handle != 0; handle = hive_.u32(payload + kKeyNext)) {
      if (!take(handle, kKey, payload, size)) return false;
      if (size < kKeyName || hive_.u32(payload + kKeyNameLength) > (size - kKeyName) / 2)
        return fail("a key's name runs past its record");
      const uint32_t length = hive_.u32(payload + kKeyNameLength);
      RegistryKey& key = tree_.keys.emplace_back();
      key.name = utf16_from_bytes(hive_.at(payload + kKeyName), length);
      key.handle = handle;
      const auto index = static_cast<uint32_t>(tree_.keys.size() - 1);
      into.push_back(index);
      pending_.push_back({index, hive_.u32(payload + kKeySubkeys), hive_.u32(payload + kKeyValues)});
    }
    std::reverse(into.begin(), into.end());
    return true;
  }

  bool read_values(uint32_t handle, uint32_t key) {
    std::vector<uint32_t>& into = tree_.keys[key].values;
    for (uint32_t payload = 0, size = 0; handle != 0; handle = hive_.u32(payload + kValueNext)) {
      if (!take(handle, kValue, payload, size)) return false;
      if (size < kValueName) return fail("a value's name or data runs past its record");
      const uint32_t name_length = hive_.u16(payload + kValueNameLength);
      const uint32_t data_length = hive_.u16(payload + kValueDataLength);
      if (2 * name_length + data_length > size - kValueName) return fail("a value's name or data runs past its record");
      RegistryValue& value = tree_.values.emplace_back();
      value.name = utf16_from_bytes(hive_.at(payload + kValueName), name_length);
      value.type = hive_.u16(payload + kValueType);
      const uint8_t* data = hive_.at(payload + kValueName + 2 * name_length);
      value.data.assign(data, data + data_length);
      value.handle = handle;
      into.push_back(static_cast<uint32_t>(tree_.values.size() - 1));
    }
    std::reverse(into.begin(), into.end());
    return true;
  }

  const Hive& hive_;
  RegistryTree& tree_;
  std::string& why_;
  std::vector<bool> reached_;  // by handle index
  std::vector<Pending> pending_;
};

}  // namespace

bool read_hive_tree(const Hive& hive, RegistryTree& tree, std::string& why) {
  return TreeReader(hive, tree, why).read();
}

}  // namespace xipsaw
