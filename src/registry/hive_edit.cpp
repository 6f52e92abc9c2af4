#include "registry/hive_edit.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace xipsaw {

using namespace hive;

namespace {

static_assert(kKeyNext == kValueNext, "lists of keys and of values link through the same field");
constexpr uint32_t kNext = kKeyNext;
constexpr uint32_t kMost16 = 0xFFFF;
constexpr uint32_t kNone = UINT32_MAX;

// The editor's view of the tree's lists: each item linked to its older and
// newer neighbours, and each list's items found by folded name, built for a
// list when a change first looks into it. So every change costs the same
// however long its list, and the tree's lists are laid out again at the end.
class HiveEditor final : public RegChangeSink {
 public:
  HiveEditor(Hive& hive, RegistryTree& tree) : hive_(hive), tree_(tree), root_(hive.payload_of(handle_of(0))) {
    keys_.resize(tree.keys.size());
    values_.resize(tree.values.size());
    for (uint32_t r = 0; r < kRootCount; ++r) root_newest_[r] = link(keys_, tree.roots[r]);
    for (uint32_t k = 0; k < tree.keys.size(); ++k) {
      newest_subkey_.push_back(link(keys_, tree.keys[k].subkeys));
      newest_value_.push_back(link(values_, tree.keys[k].values));
    }
  }

  bool key(const RegKeyChange& change, std::string& why) override {
    why_ = &why;
    return change.remove ? remove_key(change) : change.path.empty() || make_key(change);
  }

  bool value(const RegValueChange& change, std::string& why) override {
    why_ = &why;
    return change.remove ? remove_value(change.name) : set_value(change);
  }

  // Lays out the tree's lists again from the links, oldest first.
  void finish() {
    for (uint32_t r = 0; r < kRootCount; ++r) tree_.roots[r] = unlinked(keys_, root_newest_[r]);
    for (uint32_t k = 0; k < tree_.keys.size(); ++k) {
      tree_.keys[k].subkeys = unlinked(keys_, newest_subkey_[k]);
      tree_.keys[k].values = unlinked(values_, newest_value_[k]);
    }
  }

 private:
  struct Links {
    uint32_t older = kNone, newer = kNone;
  };
  // A list: a root's keys, a key's subkeys, or a key's values.
  enum class Kind { root, subkeys, values };
  struct List {
    Kind kind;
    uint32_t index;  // the root's slot, or the key's index
  };
  using NameIndex = std::unordered_map<std::u16string, std::vector<uint32_t>>;  // oldest first

  // Links a list's items; returns its newest.
  static uint32_t link(std::vector<Links>& links, const std::vector<uint32_t>& list) {
    for (size_t i = 0; i < list.size(); ++i) {
      links[list[i]].older = i == 0 ? kNone : list[i - 1];
      links[list[i]].newer = i + 1 == list.size() ? kNone : list[i + 1];
    }
    return list.empty() ? kNone : list.back();
  }

  static std::vector<uint32_t> unlinked(const std::vector<Links>& links, uint32_t newest) {
    std::vector<uint32_t> list;
    for (uint32_t item = newest; item != kNone; item = links[item].older) list.push_back(item);
    std::reverse(list.begin(), list.end());
    return list;
  }

  bool fail(const std::string& why) {
    *why_ = why;
    return false;
  }

  std::vector<Links>& links_of(List list) { return list.kind == Kind::values ? values_ : keys_; }
  uint32_t& newest(List list) {
    return list.kind == Kind::root      ? root_newest_[list.index]
           : list.kind == Kind::subkeys ? newest_subkey_[list.index]
                                        : newest_value_[list.index];
  }
  const std::u16string& name_of(List list, uint32_t item) const {
    return list.kind == Kind::values ? tree_.values[item].name : tree_.keys[item].name;
  }
  uint32_t handle_of_item(List list, uint32_t item) const {
    return list.kind == Kind::values ? tree_.values[item].handle : tree_.keys[item].handle;
  }
  // Where the handle of the list's head, its newest item, is kept.
  uint32_t head_of(List list) const {
    if (list.kind == Kind::root) return root_ + 4 * list.index;
    return hive_.payload_of(tree_.keys[list.index].handle) + (list.kind == Kind::subkeys ? kKeySubkeys : kKeyValues);
  }

  NameIndex& index_of(List list) {
    const uint64_t id = uint64_t{static_cast<uint32_t>(list.kind)} << 32 | list.index;
    const auto [it, added] = indices_.try_emplace(id);
    if (added)
      for (uint32_t item : unlinked(links_of(list), newest(list))) it->second[folded(name_of(list, item))].push_back(item);
    return it->second;
  }

  // The items named name, oldest first; the device finds the newest first.
  const std::vector<uint32_t>* named(List list, const std::u16string& name) {
    NameIndex& index = index_of(list);
    const auto it = index.find(folded(name));
    return it == index.end() || it->second.empty() ? nullptr : &it->second;
  }

  // Puts a new item at the head of the list, in the hive and here.
  void push(List list, uint32_t item, uint32_t payload) {
    NameIndex& index = index_of(list);  // before the item is linked, which would put it in twice
    const uint32_t head = head_of(list);
    hive_.set_u32(payload + kNext, hive_.u32(head));
    hive_.set_u32(head, handle_of_item(list, item));
    std::vector<Links>& links = links_of(list);
    links.resize(std::max<size_t>(links.size(), item + 1));
    uint32_t& first = newest(list);
    links[item] = {first, kNone};
    if (first != kNone) links[first].newer = item;
    first = item;
    index[folded(name_of(list, item))].push_back(item);
  }

  // Takes an item out of its list: its newer neighbour, or the list's head,
  // then leads to its older one.
  void unlink(List list, uint32_t item) {
    std::vector<Links>& links = links_of(list);
    const Links at = links[item];
    const uint32_t older = hive_.u32(hive_.payload_of(handle_of_item(list, item)) + kNext);
    hive_.set_u32(at.newer == kNone ? head_of(list) : hive_.payload_of(handle_of_item(list, at.newer)) + kNext, older);
    (at.newer == kNone ? newest(list) : links[at.newer].older) = at.older;
    if (at.older != kNone) links[at.older].newer = at.newer;
    std::vector<uint32_t>& same = index_of(list)[folded(name_of(list, item))];
    same.erase(std::find(same.begin(), same.end(), item));
  }

  bool new_record(uint32_t type, uint32_t payload_size, uint32_t& index, uint32_t& payload) {
    if (!hive_.take_handle(index, *why_)) return false;
    return hive_.allocate(type, payload_size, index, payload) || fail("the hive would grow past 16 MiB");
  }

  void free_record(uint32_t handle) {
    hive_.release(hive_.payload_of(handle));
    hive_.release_handle(handle & kIndexMask);
  }

  void put_name(uint32_t at, const std::u16string& name) {
    for (size_t i = 0; i < name.size(); ++i) hive_.set_u16(at + 2 * static_cast<uint32_t>(i), name[i]);
  }

  bool make_key(const RegKeyChange& change) {
    List list{Kind::root, change.root};
    for (const std::u16string& name : change.path) {
      const std::vector<uint32_t>* found = named(list, name);
      uint32_t key = found != nullptr ? found->back() : kNone;
      if (key == kNone) {
        uint32_t index = 0, payload = 0;
        if (!new_record(kKey, key_payload_size(static_cast<uint32_t>(name.size())), index, payload)) return false;
        hive_.set_u32(payload + kKeyNameLength, static_cast<uint32_t>(name.size()));
        put_name(payload + kKeyName, name);
        hive_.point(index, payload);
        key = static_cast<uint32_t>(tree_.keys.size());
        tree_.keys.push_back({name, handle_of(index), {}, {}});
        newest_subkey_.push_back(kNone);
        newest_value_.push_back(kNone);
        push(list, key, payload);
      }
      list = {Kind::subkeys, key};
    }
    key_ = list.index;
    return true;
  }

  bool remove_key(const RegKeyChange& change) {
    List list{Kind::root, change.root};
    uint32_t key = kNone;
    for (const std::u16string& name : change.path) {
      if (key != kNone) list = {Kind::subkeys, key};
      const std::vector<uint32_t>* found = named(list, name);
      if (found == nullptr) return true;  // nothing to delete
      key = found->back();
    }
    unlink(list, key);
    // The key and everything below it, without recursion.
    std::vector<uint32_t> below{key};
    while (!below.empty()) {
      const uint32_t k = below.back();
      below.pop_back();
      for (uint32_t v = newest_value_[k]; v != kNone; v = values_[v].older) free_record(tree_.values[v].handle);
      for (uint32_t s = newest_subkey_[k]; s != kNone; s = keys_[s].older) below.push_back(s);
      free_record(tree_.keys[k].handle);
    }
    return true;
  }

  void write_value(uint32_t payload, const std::u16string& name, const RegValueChange& change) {
    const uint32_t next = hive_.u32(payload + kValueNext);
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

  bool set_value(const RegValueChange& change) {
    if (change.type > kMost16) return fail("a hive holds value types up to ffff");
    if (change.data.size() > kMost16) return fail("a hive holds at most 65535 bytes of data in a value");
    if (change.name.size() > kMost16) return fail("a hive holds value names of at most 65535 characters");
    const List list{Kind::values, key_};
    const std::vector<uint32_t>* found = named(list, change.name);
    if (found == nullptr) return add_value(list, change);
    for (uint32_t v : *found)
      if (tree_.values[v].type == change.type && tree_.values[v].data == change.data) return true;
    RegistryValue& value = tree_.values[found->back()];
    // The value keeps its name as stored, whatever case the change gives it.
    const uint32_t size = value_payload_size(static_cast<uint32_t>(value.name.size()),
                                             static_cast<uint32_t>(change.data.size()));
    const uint32_t old = hive_.payload_of(value.handle);
    if (size == hive_.payload_size_of(old)) {
      write_value(old, value.name, change);
    } else {
      const uint32_t index = value.handle & kIndexMask;
      uint32_t payload = 0;
      if (!hive_.allocate(kValue, size, index, payload)) return fail("the hive would grow past 16 MiB");
      hive_.set_u32(payload + kValueNext, hive_.u32(old + kValueNext));
      write_value(payload, value.name, change);
      hive_.point(index, payload);
      hive_.release(old);
    }
    value.type = change.type;
    value.data = change.data;
    return true;
  }

  bool add_value(List list, const RegValueChange& change) {
    uint32_t index = 0, payload = 0;
    const uint32_t size =
        value_payload_size(static_cast<uint32_t>(change.name.size()), static_cast<uint32_t>(change.data.size()));
    if (!new_record(kValue, size, index, payload)) return false;
    write_value(payload, change.name, change);
    hive_.point(index, payload);
    tree_.values.push_back({change.name, change.type, change.data, handle_of(index)});
    push(list, static_cast<uint32_t>(tree_.values.size() - 1), payload);
    return true;
  }

  bool remove_value(const std::u16string& name) {
    const List list{Kind::values, key_};
    const std::vector<uint32_t>* found = named(list, name);
    if (found == nullptr) return true;
    const uint32_t value = found->back();
    unlink(list, value);
    free_record(tree_.values[value].handle);
    return true;
  }

  Hive& hive_;
  RegistryTree& tree_;
  const uint32_t root_;  // the root record's payload
  std::vector<Links> keys_, values_;
  std::array<uint32_t, kRootCount> root_newest_{};
  std::vector<uint32_t> newest_subkey_, newest_value_;  // by key
  std::unordered_map<uint64_t, NameIndex> indices_;     // by list
  uint32_t key_ = 0;                                    // the key the values that follow belong to
  std::string* why_ = nullptr;                          // where a change that cannot be made says why
};

}  // namespace

bool apply_reg(Hive& hive, RegistryTree& tree, const std::string& text, uint32_t& line, std::string& why) {
  HiveEditor editor(hive, tree);
  if (!parse_reg(text, &editor, line, why)) return false;
  editor.finish();
  return true;
}

}  // namespace xipsaw
