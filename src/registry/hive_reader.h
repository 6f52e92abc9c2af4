// The keys and values of a hive, read into a tree.
#pragma once

#include <string>

#include "registry/hive.h"
#include "registry/registry_tree.h"

namespace xipsaw {

// Follows the lists from the root record down, checking each handle and
// record on the way: a record reached twice (lists that loop or share), a
// handle to the wrong kind of record or a name or data past its record
// make the hive unsound. False, with why, then. Memory stays in proportion
// to the hive, and the walk needs no recursion however deep the keys go.
bool read_hive_tree(const Hive& hive, RegistryTree& tree, std::string& why);

}  // namespace xipsaw
