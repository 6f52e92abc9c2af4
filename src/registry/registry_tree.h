// A registry as the export and the import see it, whichever file it came
// from: the keys below each predefined root, and the values of each key,
// both in the order they were added (oldest first).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace xipsaw {

// The predefined roots, slot i standing for the handle 0x80000000 + i.
inline constexpr uint32_t kRootCount = 8;
extern const std::array<const char*, kRootCount> kRootNames;

struct RegistryValue {
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  uint32_t handle = 0;  // in a hive, the record's handle
};

struct RegistryKey {
  std::u16string name;
  uint32_t handle = 0;            // in a hive, the record's handle
  std::vector<uint32_t> subkeys;  // indices into RegistryTree::keys, oldest first
  std::vector<uint32_t> values;   // indices into RegistryTree::values, oldest first
};

struct RegistryTree {
  std::array<std::vector<uint32_t>, kRootCount> roots;  // each root's keys, oldest first
  std::vector<RegistryKey> keys;
  std::vector<RegistryValue> values;
  // A flat registry names each key by its whole path below its root, so its
  // names hold backslashes and it has no subkeys.
  bool names_are_paths = false;
};

// A name with its letters folded to lower case, as the device compares
// names: letters of ASCII, Latin-1, Greek and Cyrillic fold.
std::u16string folded(std::u16string name);

}  // namespace xipsaw
