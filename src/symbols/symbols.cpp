#include "symbols/symbols.h"

#include <algorithm>

#include "common/le.h"
#include "modules/module_exports.h"
#include "modules/pe_layout.h"
#include "modules/pe_rebuild.h"
#include "modules/run_layout.h"
#include "output/messages.h"

namespace xipsaw {

namespace {

struct Symbol {
  uint32_t address;
  size_t module;  // index into the module names
  std::string name;
};

// Where the sections go does not depend on the CPU.
constexpr uint16_t kNoMachine = 0;

// Where unpack puts what lies at a module's RVAs: the run layout planned
// from the headers the rebuild writes for it, with each section as long as
// unpack writes it; or, for a module that cannot lie at its run addresses,
// its stored layout (base + RVA).
class Placement {
 public:
  Placement(const ModuleEntry& module, StoredModule& stored) {
    const ModuleRecords& records = stored.records();
    base_ = load_u32(records.e32 + kE32ImageBase);
    SectionNameCounters names;
    std::vector<uint8_t> headers = rebuilt_headers(kNoMachine, module, records, names, true);
    for (size_t i = 0; i < records.sections.size(); ++i) {
      const uint32_t length = with_whole_tables(records, records.sections[i], stored.data_length(i));
      store_u32(&headers[pe::kSectionTable + pe::kSectionHeaderSize * i + pe::kSizeOfRawData], length);
    }
    store_u32(&headers[pe::kOptionalHeader + pe::kSizeOfHeaders], static_cast<uint32_t>(headers.size()));
    moved_ = plan_run_layout(headers, run_addresses_of(records.sections, base_), layout_) == nullptr;
  }

  uint32_t address(uint32_t rva) const { return moved_ ? layout_.address(rva) : base_ + rva; }
  uint32_t entry(uint32_t entry) const {
    return moved_ ? static_cast<uint32_t>(layout_.image_base + layout_.entry_point(entry)) : base_ + entry;
  }

 private:
  uint32_t base_ = 0;
  bool moved_ = false;
  RunLayout layout_;
};

}  // namespace

void print_symbols(Run& run) {
  ReadBudget budget;
  std::vector<std::string> modules;
  std::vector<Symbol> symbols;
  for_each_stored_module(run, budget, [&](const ModuleEntry& module, StoredModule& stored) {
    const Placement placement(module, stored);
    const size_t index = modules.size();
    modules.push_back(printable(module.name));
    budget.keep(module.name.size());
    if (const uint32_t entry = load_u32(stored.records().e32 + kE32EntryPoint); entry != 0)
      symbols.push_back({placement.entry(entry), index, "entry"});
    for (Export& e : read_exports(stored, budget)) {
      std::string name = e.name.empty() ? "Ordinal_" + std::to_string(e.ordinal) : printable(std::move(e.name));
      symbols.push_back({placement.address(e.rva), index, std::move(name)});
    }
  });
  std::stable_sort(symbols.begin(), symbols.end(),
                   [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  for (const Symbol& s : symbols) say(run.out, "%s!%s 0x%08x\n", modules[s.module].c_str(), s.name.c_str(), s.address);
}

}  // namespace xipsaw
