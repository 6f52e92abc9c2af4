// Changes from a .reg file made in a hive, as a device makes them: records
// keep their handles; a value rewritten at the same size stays in place,
// otherwise its new record takes a free block and only its handle entry is
// repointed; a new key or value takes a free handle and a free block and
// goes to the head of its list; the file grows at its tail in 4096-byte
// steps when no free block is large enough.
#pragma once

#include <string>

#include "registry/hive.h"
#include "registry/reg_parse.h"
#include "registry/registry_tree.h"

namespace xipsaw {

// Makes the changes of .reg text (see parse_reg) in hive and in tree, which
// read_hive_tree read from it. Names match without regard to case; setting
// a value to what it holds already, or deleting what is not there, changes
// nothing. False, with the line and why, when the text is not .reg or a
// change cannot be made: the hive is then half changed and must be dropped.
bool apply_reg(Hive& hive, RegistryTree& tree, const std::string& text, uint32_t& line, std::string& why);

}  // namespace xipsaw
