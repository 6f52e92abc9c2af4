// The rebuild of a module stored in execute-in-place form into a PE32
// executable.
#pragma once

#include "output/output_directory.h"
#include "run/run.h"
#include "modules/module_headers.h"

namespace xipsaw {

// What every module of an image is rebuilt with, decided once for the image
// from all of its modules, whichever of them a command selects: the layout
// of their E32 headers and the Machine of the executables.
struct RebuildSettings {
  E32Layout layout = E32Layout::classic;
  uint16_t machine = 0;
};
RebuildSettings decide_rebuild_settings(Image& image);

// Writes the executable of module to output, which the caller closes.
// Returns 1 when the file is complete; 0 after printing a failure of the
// image, or at once when a write fails (output.failed(), not printed here).
// A failure at a section's data leaves the headers with the sizes and
// positions of the sections before it filled in, and SizeOfHeaders 0.
int rebuild_executable(Run& run, const ModuleEntry& module, const RebuildSettings& settings, OutputFile& output);

}  // namespace xipsaw
