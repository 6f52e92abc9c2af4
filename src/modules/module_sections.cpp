#include "modules/module_sections.h"

#include <vector>

#include "common/le.h"
#include "run/used_blocks.h"

namespace xipsaw {

void for_each_section(Image& image, E32Layout layout,
                      const std::function<bool(const ModuleEntry&, const O32Entry&)>& visit) {
  const uint32_t e32_size = e32_offsets(layout).size;
  TableReader modules;
  ModuleEntry module;
  UsedBlocks tables;
  uint32_t earlier = 0;
  if (!load_module_table(image, modules)) return;
  while (next_module_entry(image, modules, module)) {
    uint8_t head[kE32SectionCount + 2] = {};
    if (tables.use(module.o32offset, 0, earlier) != UsedBlocks::Use::first ||
        locate_address(image, module.e32offset) == 0 || measure_image(image, module.e32offset, e32_size) != e32_size ||
        read_image(image, head, sizeof head) != sizeof head || locate_address(image, module.o32offset) == 0)
      continue;
    std::vector<uint8_t> o32(size_t{kO32Size} * load_u16(head + kE32SectionCount));
    read_image(image, o32.data(), static_cast<uint32_t>(o32.size()));
    for (size_t at = 0; at < o32.size(); at += kO32Size)
      if (!visit(module, O32Entry::parse(&o32[at]))) return;
  }
}

}  // namespace xipsaw
