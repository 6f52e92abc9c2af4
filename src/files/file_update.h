// The in-place update of one file of the file table inside the BIN file.
#pragma once

#include "run/run.h"

namespace xipsaw {

enum class UpdateStep { next_entry, end_pass };

// Runs the update for the walk's entry, the one at index in the file table,
// when its name equals words[0], setting found on a match. Returns whether
// the walk goes on.
UpdateStep update_file(Run& run, FileEntry& file, uint32_t index, int word_count, const char* const* words,
                       bool& found);

}  // namespace xipsaw
