// The functions and data that modules export, read from the image as it
// stores them: what symbols prints, and the names that unpack gives to the
// imports other modules make by ordinal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modules/stored_module.h"
#include "run/export_names.h"

namespace xipsaw {

struct Export {
  uint32_t ordinal;  // the directory's Base plus the index of its function
  uint32_t rva;      // where the function or data lies
  std::string name;  // its first name; empty for an export by ordinal alone
};

// The exports of a module, in ordinal order, with no gap (an RVA of 0)
// among them. At most 65536 functions and names are read, the most
// imports by ordinal can reach (ordinals are 16-bit), and names of at most
// 1023 bytes; reads and what is kept count against the budget.
std::vector<Export> read_exports(StoredModule& module, ReadBudget& budget);

// The names that every module of run.image exports by, for each ordinal
// that has one, as unpack needs them before it writes any module. The first
// of modules that share a name counts.
ExportNames gather_export_names(Run& run);

}  // namespace xipsaw
