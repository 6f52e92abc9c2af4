#include "modules/module_sections.h"

#include "run/used_blocks.h"

namespace xipsaw {

void for_each_section(Image& image, E32Layout layout,
                      const std::function<bool(const ModuleEntry&, const O32Entry&)>& visit) {
  const uint32_t e32_size = e32_offsets(layout).size;
  TableReader modules;
  ModuleEntry module;
  ModuleRecords records;
  UsedBlocks tables;
  uint32_t earlier = 0;
  if (!load_module_table(image, modules)) return;
  while (next_module_entry(image, modules, module)) {
    if (tables.use(module.o32offset, 0, 0, earlier) != UsedBlocks::Use::first ||
        measure_image(image, module.e32offset, e32_size) != e32_size ||
        read_module_records(image, module, layout, records) != nullptr)
      continue;
    for (const O32Entry& section : records.sections)
      if (!visit(module, section)) return;
  }
}

}  // namespace xipsaw
