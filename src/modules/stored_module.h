// A module as the image stores it, read at its RVAs without being written
// out: its records, and its sections' bytes, expanded where compressed.
// What unpack and symbols learn of every module before they write or print
// any (the exports of the image's DLLs, where modules run).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "modules/link_tables.h"
#include "modules/module_headers.h"
#include "run/run.h"

namespace xipsaw {

// What reading the modules of one image may cost, whatever a hostile image
// claims (module headers, tables and sections of any size, as many modules
// as the image has room for): bytes read from the image or expanded (and
// section headers looked through), where a real image's modules hold a few
// tens of MiB in all; and bytes of what is kept of them (export names and
// entries), where the DLLs of a real image export a few thousand functions
// (what unpack keeps, and the names it writes into a module from them, stay
// within 16 MiB each). Once spent, no more is read.
class ReadBudget {
 public:
  bool read(uint64_t bytes) { return (read_ += bytes) <= kMaxRead; }
  bool keep(uint64_t bytes) { return (kept_ += bytes) <= kMaxKept; }
  bool spent() const { return read_ > kMaxRead || kept_ > kMaxKept; }

 private:
  static constexpr uint64_t kMaxRead = uint64_t{512} << 20;
  static constexpr uint64_t kMaxKept = uint64_t{16} << 20;
  uint64_t read_ = 0;
  uint64_t kept_ = 0;
};

class StoredModule {
 public:
  StoredModule(Run& run, ReadBudget& budget) : run_(run), budget_(budget) {}

  // Reads the module's records in the image's layout; false when they do
  // not lie in the image or the budget is spent.
  bool open(const ModuleEntry& module, E32Layout layout);
  const ModuleRecords& records() const { return records_; }

  // How many bytes of section i the rebuild writes from the image: its
  // expansion, or the stored bytes that the image holds; 0 when its data is
  // not in the image or does not expand.
  uint32_t data_length(size_t i);

  // Reads count bytes at rva, which lie in one section (the one a rebuilt
  // RVA points into, see RvaMap), zeros where the image stores none. False
  // when they lie in none, or the budget is spent.
  bool read(uint32_t rva, uint8_t* bytes, uint32_t count);
  // The text at rva up to its NUL, at most max bytes.
  std::string text(uint32_t rva, uint32_t max);

 private:
  // The length of the expansion of compressed section i, which stays in
  // expansion_ until another section is expanded.
  uint32_t expand(size_t i);

  Run& run_;
  ReadBudget& budget_;
  ModuleRecords records_;
  RvaMap map_;  // the sections where they are stored
  std::vector<int64_t> lengths_;  // data_length of each section, -1 until known
  size_t expanded_ = SIZE_MAX;    // the section in expansion_
  std::unique_ptr<uint8_t[]> expansion_;
};

// Calls visit with each module of run.image whose name reads and whose
// records lie in the image, opened in the image's layout, in table order,
// until the budget is spent.
void for_each_stored_module(Run& run, ReadBudget& budget,
                            const std::function<void(const ModuleEntry&, StoredModule&)>& visit);

}  // namespace xipsaw
