// How a pass says that an entry could not be written whole.
#pragma once

#include "run/run.h"

namespace xipsaw {

// Prints a failure of the entry being written (run.entry), with the classic
// message: as it stands for extract, after the entry's name for unpack,
// whose walk goes on, so that each line says which entry it concerns.
// Counts the entry as not written whole.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void report_failure(Run& run, const char* format, ...);

}  // namespace xipsaw
