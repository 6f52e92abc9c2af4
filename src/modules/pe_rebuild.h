// The rebuild of a module stored in execute-in-place form into a PE32
// executable.
#pragma once

#include <cstdint>
#include <vector>

#include "output/output_directory.h"
#include "run/run.h"
#include "modules/module_headers.h"

namespace xipsaw {

// What every module of an image is rebuilt with, decided once for the image
// from all of its modules, whichever of them a command selects: the layout
// of their E32 headers and the Machine of the executables.
struct RebuildSettings {
  E32Layout layout = E32Layout::classic;
  uint16_t machine = 0;
};
RebuildSettings decide_rebuild_settings(Image& image);

// Writes the executable of module to output, which the caller closes.
// Returns 1 when the file is complete; 0 after printing a failure of the
// image, or at once when a write fails (output.failed(), not printed here).
// A failure at a section's data leaves the headers with the sizes and
// positions of the sections before it filled in, and SizeOfHeaders 0.
int rebuild_executable(Run& run, const ModuleEntry& module, const RebuildSettings& settings, OutputFile& output);

// The executable's headers up to SizeOfHeaders as the rebuild writes them
// before the sections' data, with SizeOfHeaders and each section's
// SizeOfRawData and PointerToRawData still 0; the sections take their
// names from names and the file header its Machine. For unpack, a module that imports has room for one more
// section header, where its imports are named (see run_layout.h).
std::vector<uint8_t> rebuilt_headers(uint16_t machine, const ModuleEntry& module, const ModuleRecords& records,
                                     SectionNameCounters& names, bool unpacking);

// Where each section of a module based at base runs, as the run layout
// takes it: its run address, or 0 for base + rva. A module whose every
// section runs one same distance from base + rva, not 0, runs at an alias of
// that layout: Windows CE 2.x runs each DLL 0x02000000 higher, in the slot
// its code is shared from, and its kernel at 0x10000 + rva, while their code
// refers to base + rva. Such a module stays at base + rva.
std::vector<uint32_t> run_addresses_of(const std::vector<O32Entry>& sections, uint32_t base);

// How many bytes unpack writes for section s of which written bytes came
// from the image: enough for the export, import and resource tables that
// begin in it to lie whole in the file, never more than its virtual size.
uint32_t with_whole_tables(const ModuleRecords& records, const O32Entry& s, uint32_t written);

}  // namespace xipsaw
