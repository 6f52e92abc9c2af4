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
// with the sections they point into. Its imports by ordinal of functions
// that a DLL of the image exports by name are named in a section added
// after the others.
#pragma once

#include <cstdint>
#include <vector>

#include "modules/link_tables.h"
#include "output/output_file.h"
#include "run/export_names.h"

namespace xipsaw {

// Where the sections of a rebuilt executable lie at their run addresses.
struct RunLayout {
  uint32_t base = 0;          // ImageBase as rebuilt
  uint64_t image_base = 0;    // ImageBase at the run addresses
  uint64_t end = 0;           // where the highest section ends
  RvaMap map;                 // from the rebuilt RVAs to the new ones, in section table order
  std::vector<size_t> order;    // the section table's indexes in address order
  std::vector<uint32_t> sizes;  // their VirtualSizes there, in that order, cut where the next section begins

  // The new RVA of the entry point: moved with its section, or the same
  // absolute address when it lies in none.
  uint32_t entry_point(uint32_t entry) const;
  // The address an RVA of the rebuilt executable has there.
  uint32_t address(uint32_t rva) const { return static_cast<uint32_t>(image_base + map.moved(rva)); }
};

// Plans the run layout of the executable whose headers the rebuild filled
// in (SizeOfHeaders and every section's size and position): run_addresses[i]
// is where the i-th section of the section table runs, 0 for ImageBase +
// VirtualAddress. nullptr once planned; otherwise the reason the module
// cannot lie at its run addresses.
const char* plan_run_layout(const std::vector<uint8_t>& headers, const std::vector<uint32_t>& run_addresses,
                            RunLayout& layout);

// Moves the executable that the rebuild has written to output, with the
// given headers, to its run addresses: patches the RVAs in the sections'
// data in output and rewrites headers, which the caller then writes. With
// names (the exports of the image's DLLs), names its imports by ordinal in
// an .idata section added at the end, when headers have room for its
// section header. Returns nullptr once moved; otherwise the reason the
// module cannot lie at its run addresses, with nothing changed.
const char* place_at_run_addresses(std::vector<uint8_t>& headers, const std::vector<uint32_t>& run_addresses,
                                   OutputFile& output, const ExportNames* names = nullptr);

}  // namespace xipsaw
