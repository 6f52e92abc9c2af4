#include "modules/module_exports.h"

#include <algorithm>

#include "common/le.h"
#include "modules/pe_layout.h"

namespace xipsaw {

namespace {

constexpr uint32_t kMaxExports = 0x10000;

// The count u32 arrays or u16 arrays at rva, or nothing when they do not
// lie in one section.
std::vector<uint32_t> read_array(StoredModule& module, uint32_t rva, uint32_t count, uint32_t width) {
  std::vector<uint8_t> bytes(size_t{count} * width);
  std::vector<uint32_t> values;
  if (count == 0 || !module.read(rva, bytes.data(), static_cast<uint32_t>(bytes.size()))) return values;
  for (size_t at = 0; at < bytes.size(); at += width)
    values.push_back(width == 4 ? load_u32(&bytes[at]) : load_u16(&bytes[at]));
  return values;
}

}  // namespace

std::vector<Export> read_exports(StoredModule& module, ReadBudget& budget) {
  std::vector<Export> exports;
  const uint32_t directory = load_u32(module.records().directory(pe::kExportDirectory));
  uint8_t d[40];
  if (directory == 0 || !module.read(directory, d, sizeof d)) return exports;
  const uint32_t base = load_u32(d + 16);
  const uint32_t function_count = std::min(load_u32(d + 20), kMaxExports);
  const std::vector<uint32_t> functions = read_array(module, load_u32(d + 28), function_count, 4);
  const uint32_t name_count = std::min(load_u32(d + 24), kMaxExports);
  const std::vector<uint32_t> names = read_array(module, load_u32(d + 32), name_count, 4);
  const std::vector<uint32_t> indexes = read_array(module, load_u32(d + 36), name_count, 2);

  std::vector<std::string> named(functions.size());
  for (size_t j = 0; j < std::min(names.size(), indexes.size()) && !budget.spent(); ++j) {
    const uint32_t index = indexes[j];
    if (index >= named.size() || !named[index].empty()) continue;
    named[index] = module.text(names[j], kMaxNameLength);
    budget.keep(named[index].size());
  }
  for (size_t i = 0; i < functions.size() && budget.keep(sizeof(Export)); ++i)
    if (functions[i] != 0) exports.push_back({base + static_cast<uint32_t>(i), functions[i], std::move(named[i])});
  return exports;
}

ExportNames gather_export_names(Run& run) {
  ExportNames names;
  ReadBudget budget;
  for_each_stored_module(run, budget, [&](const ModuleEntry& module, StoredModule& stored) {
    const auto [dll, added] = names.dlls.try_emplace(lower_ascii(module.name));
    if (!added) return;
    for (Export& e : read_exports(stored, budget))
      if (!e.name.empty()) dll->second.emplace(e.ordinal, std::move(e.name));
  });
  return names;
}

}  // namespace xipsaw
