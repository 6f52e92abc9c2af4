#include "registry/hive_edit.h"

#include <cstddef>
#include <cstring>

namespace xipsaw {

using namespace hive;

namespace {

static_assert(kKeyNext == kValueNext, "lists of keys and of values link through the same field");
constexpr uint32_t kNext = kKeyNext;
constexpr uint32_t kMost16 = 0xFFFF;

class HiveEditor {
 public:
  HiveEditor(Hive& hive, RegistryTree& tree, uint32_t& line, std::string& why)
      : hive_(hive), tree_(tree), line_(line), why_(why), root_(hive.payload_of(handle_of(0))) {}

  bool apply(const RegChanges& changes) {
    size_t v = 0;
    for (uint32_t k = 0; k < changes.keys.size(); ++k) {
      const RegKeyChange& change = changes.keys[k];
      line_ = change.line;
      uint32_t key = 0;
      if (!(change.remove ? remove_key(change) : change.path.empty() || make_key(change, key))) return false;
      for (; v < changes.values.size() && changes.values[v].key == k; ++v) {
        line_ = changes.values[v].line;
        if (!(changes.values[v].remove ? remove_value(key, changes.values[v].name)
                                       : set_value(key, changes.values[v])))
          return false;
      }
    }
    return true;
  }

 private:
  // Whose list of keys: a predefined root's, or a key's subkeys.
  struct Owner {
    bool root;
    uint32_t index;
  };

  bool fail(const std::string& why) {
    why_ = why;
    return false;
  }

  std::vector<uint32_t>& keys_of(Owner owner) {
    return owner.root ? tree_.roots[owner.index] : tree_.keys[owner.index].subkeys;
  }
  // Where the handle of the list's head (its newest key) is kept.
  uint32_t head_of(Owner owner) const {
    return owner.root ? root_ + 4 * owner.index : hive_.payload_of(tree_.keys[owner.index].handle) + kKeySubkeys;
  }

  // The position of the newest entry named name, or -1: the device finds
  // that one first.
  template <typename Item>
  static std::ptrdiff_t find(const std::vector<uint32_t>& list, const std::vector<Item>& items, const std::u16string& name) {
    for (auto i = static_cast<std::ptrdiff_t>(list.size()) - 1; i >= 0; --i)
      if (same_name(items[list[static_cast<size_t>(i)]].name, name)) return i;
    return -1;
  }

  bool new_record(uint32_t type, uint32_t payload_size, uint32_t& index, uint32_t& payload) {
    if (!hive_.take_handle(index, why_)) return false;
    return hive_.allocate(type, payload_size, index, payload) || fail("the hive would grow past 16 MiB");
  }

  void put_name(uint32_t at, const std::u16string& name) {
    for (size_t i = 0; i < name.size(); ++i) hive_.set_u16(at + 2 * static_cast<uint32_t>(i), name[i]);
  }

  // Takes the list's item at pos out of its links: its newer neighbour, or
  // the list's head, then leads to the item's older one.
  void unlink(const std::vector<uint32_t>& list, size_t pos, uint32_t head, uint32_t handle, uint32_t newer_handle) {
    const uint32_t older = hive_.u32(hive_.payload_of(handle) + kNext);
    hive_.set_u32(pos + 1 == list.size() ? head : hive_.payload_of(newer_handle) + kNext, older);
  }

  void free_record(uint32_t handle) {
    hive_.release(hive_.payload_of(handle));
    hive_.release_handle(handle & kIndexMask);
  }

  bool make_key(const RegKeyChange& change, uint32_t& key) {
    Owner owner{true, change.root};
    for (const std::u16string& name : change.path) {
      const std::ptrdiff_t pos = find(keys_of(owner), tree_.keys, name);
      if (pos >= 0) {
        owner = {false, keys_of(owner)[static_cast<size_t>(pos)]};
        continue;
      }
      uint32_t index = 0, payload = 0;
      if (!new_record(kKey, key_payload_size(static_cast<uint32_t>(name.size())), index, payload)) return false;
      const uint32_t head = head_of(owner);
      hive_.set_u32(payload + kKeyNext, hive_.u32(head));
      hive_.set_u32(payload + kKeyNameLength, static_cast<uint32_t>(name.size()));
      put_name(payload + kKeyName, name);
      hive_.point(index, payload);
      hive_.set_u32(head, handle_of(index));
      tree_.keys.push_back({name, handle_of(index), {}, {}});
      keys_of(owner).push_back(static_cast<uint32_t>(tree_.keys.size() - 1));
      owner = {false, static_cast<uint32_t>(tree_.keys.size() - 1)};
    }
    key = owner.index;
    return true;
  }

  bool remove_key(const RegKeyChange& change) {
    Owner owner{true, change.root};
    std::ptrdiff_t pos = -1;
    for (size_t step = 0; step < change.path.size(); ++step) {
      if (step > 0) owner = {false, keys_of(owner)[static_cast<size_t>(pos)]};
      pos = find(keys_of(owner), tree_.keys, change.path[step]);
      if (pos < 0) return true;  // nothing to delete
    }
    std::vector<uint32_t>& list = keys_of(owner);
    const auto at = static_cast<size_t>(pos);
    const uint32_t removed = list[at];
    unlink(list, at, head_of(owner), tree_.keys[removed].handle,
           at + 1 < list.size() ? tree_.keys[list[at + 1]].handle : 0);
    list.erase(list.begin() + pos);
    // The key and everything below it, without recursion.
    std::vector<uint32_t> below{removed};
    while (!below.empty()) {
      const RegistryKey& key = tree_.keys[below.back()];
      below.pop_back();
      for (uint32_t v : key.values) free_record(tree_.values[v].handle);
      below.insert(below.end(), key.subkeys.begin(), key.subkeys.end());
      free_record(key.handle);
    }
    return true;
  }

  void write_value(uint32_t payload, uint32_t next, const std::u16string& name, const RegValueChange& change) {
    std::memset(hive_.at(payload), 0, hive_.payload_size_of(payload));
    hive_.set_u32(payload + kValueNext, next);
    hive_.set_u16(payload + kValueType, change.type);
    hive_.set_u16(payload + kValueDataLength, static_cast<uint32_t>(change.data.size()));
    hive_.set_u16(payload + kValueNameLength, static_cast<uint32_t>(name.size()));
    put_name(payload + kValueName, name);
    if (!change.data.empty())
      std::memcpy(hive_.at(payload + kValueName + 2 * static_cast<uint32_t>(name.size())), change.data.data(),
                  change.data.size());
  }

  bool set_value(uint32_t key, const RegValueChange& change) {
    if (change.type > kMost16) return fail("a hive holds value types up to ffff");
    if (change.data.size() > kMost16) return fail("a hive holds at most 65535 bytes of data in a value");
    if (change.name.size() > kMost16) return fail("a hive holds value names of at most 65535 characters");
    const std::vector<uint32_t>& list = tree_.keys[key].values;
    for (uint32_t v : list)
      if (same_name(tree_.values[v].name, change.name) && tree_.values[v].type == change.type &&
          tree_.values[v].data == change.data)
        return true;
    const std::ptrdiff_t pos = find(list, tree_.values, change.name);
    if (pos < 0) return add_value(key, change);
    RegistryValue& value = tree_.values[list[static_cast<size_t>(pos)]];
    // The value keeps its name as stored, whatever case the change gives it.
    const uint32_t size = value_payload_size(static_cast<uint32_t>(value.name.size()),
                                             static_cast<uint32_t>(change.data.size()));
    const uint32_t old = hive_.payload_of(value.handle);
    const uint32_t next = hive_.u32(old + kValueNext);
    if (size == hive_.payload_size_of(old)) {
      write_value(old, next, value.name, change);
    } else {
      const uint32_t index = value.handle & kIndexMask;
      uint32_t payload = 0;
      if (!hive_.allocate(kValue, size, index, payload)) return fail("the hive would grow past 16 MiB");
      write_value(payload, next, value.name, change);
      hive_.point(index, payload);
      hive_.release(old);
    }
    value.type = change.type;
    value.data = change.data;
    return true;
  }

  bool add_value(uint32_t key, const RegValueChange& change) {
    uint32_t index = 0, payload = 0;
    const uint32_t size =
        value_payload_size(static_cast<uint32_t>(change.name.size()), static_cast<uint32_t>(change.data.size()));
    if (!new_record(kValue, size, index, payload)) return false;
    const uint32_t head = hive_.payload_of(tree_.keys[key].handle) + kKeyValues;
    write_value(payload, hive_.u32(head), change.name, change);
    hive_.point(index, payload);
    hive_.set_u32(head, handle_of(index));
    tree_.values.push_back({change.name, change.type, change.data, handle_of(index)});
    tree_.keys[key].values.push_back(static_cast<uint32_t>(tree_.values.size() - 1));
    return true;
  }

  bool remove_value(uint32_t key, const std::u16string& name) {
    std::vector<uint32_t>& list = tree_.keys[key].values;
    const std::ptrdiff_t pos = find(list, tree_.values, name);
    if (pos < 0) return true;
    const auto at = static_cast<size_t>(pos);
    const uint32_t handle = tree_.values[list[at]].handle;
    unlink(list, at, hive_.payload_of(tree_.keys[key].handle) + kKeyValues, handle,
           at + 1 < list.size() ? tree_.values[list[at + 1]].handle : 0);
    list.erase(list.begin() + pos);
    free_record(handle);
    return true;
  }

  Hive& hive_;
  RegistryTree& tree_;
  uint32_t& line_;
  std::string& why_;
  const uint32_t root_;  // the root record's payload
};

}  // namespace

bool apply_reg_changes(Hive& hive, RegistryTree& tree, const RegChanges& changes, uint32_t& line, std::string& why) {
  return HiveEditor(hive, tree, line, why).apply(changes);
}

}  // namespace xipsaw
