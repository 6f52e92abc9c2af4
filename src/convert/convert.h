// convert: each image of a file written in another form, as the tools of the
// field take it: a raw image (.nb0) for flash programmers and emulators,
// laid out at the addresses it runs at, or a BIN file for boot loaders to
// download.
#pragma once

#include "run/run.h"

namespace xipsaw {

// Whether the words after "convert" are what it takes: "raw" OUT [START
// [SIZE]], or "bin" OUT, the form in any letter case.
bool convert_takes(int word_count, const char* const* words);

// Writes each image of run's file to OUT, or, with several, to OUT with
// "-0x%08llx" (the image's offset in the file) before its extension; each
// output is written beside its path and renamed into place when complete.
// Returns the exit status: 0 when every image was written, 1 when any was
// not, 2 when the file holds no image that opens.
int convert(Run& run, int word_count, const char* const* words);

// OUT with the image's offset in the file before its extension:
// "out-0x00080000.nb0".
std::string numbered_path(const std::string& path, int64_t offset);

}  // namespace xipsaw
