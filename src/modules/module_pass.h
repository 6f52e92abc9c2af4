// The module pass: listing and selection of the modules, and their
// extraction as rebuilt executables.
#pragma once

#include "run/run.h"

namespace xipsaw {

int process_modules(Run& run, int kind, int word_count, const char* const* words);

// True when a word count of 0 selects everything, or name equals one of the
// words exactly.
bool is_selected(const std::string& name, int word_count, const char* const* words);

}  // namespace xipsaw
