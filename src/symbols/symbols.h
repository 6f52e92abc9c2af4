// symbols: every module's exports and entry point at the addresses that
// unpack lays the module out at, one "module!name 0xaddress" line each in
// address order: what disassemblers' symbol-import scripts read, so that a
// raw image loaded whole gets the names of its code and data.
#pragma once

#include "run/run.h"

namespace xipsaw {

// Prints the symbols of run.image.
void print_symbols(Run& run);

}  // namespace xipsaw
