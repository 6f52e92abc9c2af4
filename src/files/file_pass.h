// The file pass: listing and extraction of the files of the file table, and
// the walk that the in-place update runs in.
#pragma once

#include "run/run.h"

namespace xipsaw {

int process_files(Run& run, int kind, int word_count, const char* const* words);

}  // namespace xipsaw
