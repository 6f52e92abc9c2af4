// registry: the registry files of the image, listed, exported as .reg
// text, or changed by a .reg file.
#pragma once

#include "run/run.h"

namespace xipsaw {

// Whether the words after "registry" are one of its forms: none, NAME, or
// NAME import CHANGES.reg.
bool registry_takes(int word_count, const char* const* words);
// Whether they ask to import, which writes the BIN file.
bool registry_imports(int word_count);

// Runs the form the words give; returns the exit status: 0 when all went
// well, 1 when a registry file does not read, the name is not found, or an
// import is refused or fails, 2 when the file holds no image that opens.
int registry(Run& run, int word_count, const char* const* words);

}  // namespace xipsaw
