// The rebuild of a module stored in execute-in-place form into a PE32
// executable.
#pragma once

#include <cstdio>

#include "driver/run.h"

namespace xipsaw {

// Writes the executable of module to output. Returns 1 when the file is
// complete, having closed output; 0 after printing a failure, leaving output
// open.
int rebuild_executable(Run& run, const ModuleEntry& module, std::FILE* output);

}  // namespace xipsaw
