// Fuzz target for the registry files and .reg text. The input's first three
// bytes give the length of a registry file, which follows them; the rest is
// .reg text. The file is read (a hive, a flat registry, or neither) and
// exported; a hive that reads then takes the text's changes, after which it
// must read again to the very tree the edit left, export for export.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry/hive_edit.h"
#include "registry/hive_reader.h"
#include "registry/reg_export.h"
#include "registry/registry_file.h"

namespace {

std::string exported(const xipsaw::RegistryTree& tree) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  xipsaw::write_reg(out, tree);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t length = std::min<size_t>(data[0] | data[1] << 8 | data[2] << 16, size - 3);
  std::vector<uint8_t> content(data + 3, data + 3 + length);
  const std::string text(reinterpret_cast<const char*>(data + 3 + length), size - 3 - length);
  xipsaw::RegistryFile registry;
  std::string why;
  uint32_t line = 0;
  if (!xipsaw::read_registry(std::move(content), registry, why)) return 0;
  if (registry.kind != xipsaw::RegistryKind::hive) {
    xipsaw::parse_reg(text, nullptr, line, why);
    return 0;
  }
  if (!xipsaw::apply_reg(registry.hive, registry.tree, text, line, why)) return 0;
  xipsaw::Hive again;
  xipsaw::RegistryTree tree;
  if (!again.open(registry.hive.bytes(), why) || !xipsaw::read_hive_tree(again, tree, why) ||
      exported(tree) != exported(registry.tree))
    std::abort();
  return 0;
}
