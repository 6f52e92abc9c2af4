// The flat registry file of Windows CE 2.x: a u32 whose meaning is unknown
// (a check of some kind), the file's total length, then records back to
// back to that length. Each record: u16 length of what follows its first 4
// bytes, u16 kind (1 key, 2 value), u16 type (a key's root, a value's type),
// u16 name length in characters with the terminating NUL, u16 data length,
// the name, the data. A key record names the key's whole path below its
// root; the values after it are its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry_tree.h"

namespace xipsaw {

// Whether content is a flat registry: its length word is its size, and it
// holds records that walk exactly to it.
bool is_flat_registry(const std::vector<uint8_t>& content);

// Reads a flat registry, keys in file order, each named by its path. False,
// with why, when a value comes before any key or a key names no known root.
bool read_flat_registry(const std::vector<uint8_t>& content, RegistryTree& tree, std::string& why);

}  // namespace xipsaw
