// A registry as .reg text: the header line, then each key as [ROOT\path]
// with its values, one a line, keys depth first, each key's values before
// its subkeys, everything in the order it was added.
#pragma once

#include <cstdio>

#include "registry/registry_tree.h"

namespace xipsaw {

// The most text of key paths an export writes, whatever the nesting.
inline constexpr uint64_t kMaxExportPaths = uint64_t{256} << 20;

// Writes the tree to out. A name that .reg cannot hold (a control character,
// half a surrogate pair, a backslash in a key's name) is left out with
// everything below it, and a comment line says so. False, with nothing
// written, when the keys' paths would be more than kMaxExportPaths bytes.
bool write_reg(std::FILE* out, const RegistryTree& tree);

}  // namespace xipsaw
