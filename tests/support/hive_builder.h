// Builds registry files for tests: hives as a device's build tools lay
// them out, and flat registries of Windows CE 2.x.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "image_builder.h"

namespace testkit {

struct HiveValue {
  std::u16string name;
  uint16_t type = 0;
  Bytes data;
};

struct HiveKey {
  std::u16string name;
  std::vector<HiveValue> values;  // oldest first
  std::vector<HiveKey> subkeys;   // oldest first
};

HiveValue string_value(const std::u16string& name, const std::u16string& text);  // type 1, with its NUL
HiveValue dword_value(const std::u16string& name, uint32_t value);

// A hive: the header page, the page directory, handle table page 0, the
// root record, then every key and value (handles given depth first) and a
// free tail to the next 4096-byte step. Each list is linked newest first.
struct HiveBuilder {
  std::array<std::vector<HiveKey>, 8> roots;  // slot 2 is HKEY_LOCAL_MACHINE
  Bytes build() const;
};

// A flat registry: each key by its path below its root, followed by its
// values. The first word is left 0.
struct FlatKey {
  uint16_t root = 2;
  std::u16string path;
  std::vector<HiveValue> values;
};
Bytes build_flat_registry(const std::vector<FlatKey>& keys);

}  // namespace testkit
