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

enum class StoreResult {
  written,  // the new data and the entry are in the BIN file
  refused,  // it could not be compressed, or does not fit: nothing was written
  failed,   // the BIN file could not be written (and was left as it was, or its journal kept)
};

// Stores n bytes (at most UINT32_MAX - 20) as the new content of the file
// entry at index, as update does, with update's messages: raw when it fits
// an uncompressed entry, else compressed, which marks the in-memory entry
// compressed; data and entry as one unit under the journal.
StoreResult store_file_content(Run& run, FileEntry& file, uint32_t index, const uint8_t* content, uint32_t n);

}  // namespace xipsaw
