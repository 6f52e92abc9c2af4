// The RVAs that a rebuilt executable's link tables hold in its sections'
// data (the export directory and its arrays, the import descriptors and
// their lookup tables, the resource tree's data entries), and where each
// goes when the sections move to their run addresses; and the names that
// imports by ordinal take there.
#pragma once

#include <cstdint>
#include <vector>

#include "output/output_file.h"
#include "run/export_names.h"

namespace xipsaw {

// A section of the rebuilt executable, where it lies and where it goes.
struct PlacedSection {
  uint32_t rva;          // VirtualAddress as rebuilt
  uint32_t virtual_size;
  uint32_t extent;       // bytes from rva that belong to it: VirtualSize, or its data where that is longer
  uint32_t raw_pointer;  // where its data lies in the file
  uint32_t raw_size;
  uint32_t new_rva;      // VirtualAddress at its run address
  bool is_directory;     // its (rva, VirtualSize) is a data directory's (rva, size)
};

class RvaMap {
 public:
  RvaMap() = default;
  explicit RvaMap(std::vector<PlacedSection> sections) : sections_(std::move(sections)) {}

  const std::vector<PlacedSection>& sections() const { return sections_; }

  // The section that rva points into, or -1: the first in the table that
  // holds it, passing over one that is exactly a data directory's while
  // another holds it too. Real kernels keep the exception data and the
  // writable data at one rva, and only the exception directory points
  // into the former.
  int section_of(uint32_t rva) const;
  // The section of a data directory: the one whose (rva, VirtualSize) it
  // equals, else the one it points into.
  int section_of_directory(uint32_t rva, uint32_t size) const;
  // rva moved with section s.
  uint32_t moved(int s, uint32_t rva) const { return rva - sections_[s].rva + sections_[s].new_rva; }
  // rva moved with the section it points into; unchanged when it points
  // into none (it is then no address of the module's).
  uint32_t moved(uint32_t rva) const {
    const int s = section_of(rva);
    return s < 0 ? rva : moved(s, rva);
  }

 private:
  std::vector<PlacedSection> sections_;
};

// One word of the file to rewrite.
struct Patch {
  uint64_t offset;
  uint32_t value;
};

// What makes the imports by ordinal of a module read by name: a section
// (.idata) to lie at rva, with a hint/name entry (the hint is the ordinal)
// for each import by ordinal that a DLL of names exports by name, and a
// lookup table for each import descriptor that has none; and the words of
// the lookup tables and descriptors that point into it.
struct ImportNaming {
  const ExportNames* names = nullptr;
  uint32_t rva = 0;
  std::vector<uint8_t> section;
  std::vector<Patch> patches;
};

// Adds to patches each RVA that the link tables named by the rebuilt data
// directories (16 pairs at directories) hold in file, with its moved value.
// The words of import address tables are left out: they hold the values
// the image builder bound the imports to, which the device's loader
// expects. With naming, fills it in too. Only what the sections' data holds
// is read; whatever lies beyond reads as the zeros it stands for. False
// when the tables hold more than any module does (a hostile image): the
// module then stays at its stored layout.
bool find_link_table_rvas(const RvaMap& map, const uint8_t* directories, OutputFile& file,
                          std::vector<Patch>& patches, ImportNaming* naming = nullptr);

}  // namespace xipsaw
