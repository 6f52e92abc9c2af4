// The output file of an entry that a pass writes out: opened below the
// output directory, and closed, kept or removed as the run's write policy
// has it, with the messages that go with each failure.
#pragma once

#include <string>

#include "output/output_directory.h"
#include "run/run.h"

namespace xipsaw {

// Opens name below the output directory, which the caller has prepared
// (created and opened at the run's first extraction). Prints "Unable to
// open %s" with the output path and returns false when it cannot be written
// (see OutputDirectory::open).
bool open_extracted_file(Run& run, const std::string& name, OutputFile& output);

// Closes the output. Prints "Unable to write %s" and returns false when a
// write or the close failed; the partial file is deleted then.
bool close_extracted_file(Run& run, OutputFile& output);

// Closes the output of an entry that could not be written whole (whole
// false): for extract it stays as far as it was written, as the classic tool
// leaves it, and is closed as close_extracted_file closes it; for unpack it
// is removed, and false returned.
bool finish_extracted_file(Run& run, OutputFile& output, bool whole);

}  // namespace xipsaw
