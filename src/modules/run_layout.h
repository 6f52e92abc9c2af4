// The run-address layout of a rebuilt executable, which unpack writes: every
// section at the address the device runs it at (ImageBase + VirtualAddress =
// run address). A module's writable data is copied at boot to RAM, to its
// section's run address, and the image builder fixed every instruction and
// pointer of the module for that address; laid out so, the addresses that
// the code builds point at its data in a disassembler.
//
// It is a placement over the rebuild that extract does: the executable is
// rebuilt as extract writes it, then moved: its headers rewritten, and the
// RVAs that its sections hold (export, import and resource tables) moved
// with the sections they point into.
#pragma once

#include <cstdint>
#include <vector>

#include "output/output_file.h"

namespace xipsaw {

// Moves the executable that the rebuild has written to output, whose headers
// (SizeOfHeaders and every section's size and position filled in) are in
// headers, to its run addresses: run_addresses[i] is where the i-th section
// of the section table runs, 0 for ImageBase + VirtualAddress. Patches the
// RVAs in the sections' data in output and rewrites headers, which the
// caller then writes. Returns nullptr once moved; otherwise the reason the
// module cannot lie at its run addresses, with nothing changed.
const char* place_at_run_addresses(std::vector<uint8_t>& headers, const std::vector<uint32_t>& run_addresses,
                                   OutputFile& output);

}  // namespace xipsaw
