// The rebuild of a module stored in execute-in-place form into a PE32
// executable.
#pragma once

#include <cstdio>

#include "driver/run.h"

namespace xipsaw {

// Writes the executable of module to output. Returns 1 when the file is
// complete, having closed output; 0 after printing a failure, leaving output
// open. A failure at a section's data leaves the headers with the sizes and
// positions of the sections before it filled in, and SizeOfHeaders 0.
int rebuild_executable(Run& run, const ModuleEntry& module, std::FILE* output);

}  // namespace xipsaw
