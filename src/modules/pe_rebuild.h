// The rebuild of a module stored in execute-in-place form into a PE32
// executable.
#pragma once

#include "output/output_directory.h"
#include "run/run.h"
#include "modules/module_headers.h"

namespace xipsaw {

// Writes the executable of module, whose E32Header has the given layout, to
// output, which the caller closes.
// Returns 1 when the file is complete; 0 after printing a failure of the
// image, or at once when a write fails (output.failed(), not printed here).
// A failure at a section's data leaves the headers with the sizes and
// positions of the sections before it filled in, and SizeOfHeaders 0.
int rebuild_executable(Run& run, const ModuleEntry& module, E32Layout layout, OutputFile& output);

}  // namespace xipsaw
