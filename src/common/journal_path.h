// The name of the rollback journal of an update (see image/journal.h), known
// here too so that no extracted file can take its place.
#pragma once

#include <string>

namespace xipsaw {

// The journal of the BIN file at bin_path: the same path followed by
// "-journal".
inline std::string journal_path(const std::string& bin_path) { return bin_path + "-journal"; }

}  // namespace xipsaw
