// unpack: every module and file of every image written as extract writes
// them with no names, each module at the addresses its sections run at, and
// every entry that can be written whole, whatever fails before it.
#pragma once

#include "run/run.h"

namespace xipsaw {

// Writes into the output directory that extract uses, or into the
// directory the one word names (created with its parents). Returns the exit
// status: 0 when every entry was written whole, 1 when any was not, 2 when
// the file holds no image that opens.
int unpack(Run& run, int word_count, const char* const* words);

}  // namespace xipsaw
