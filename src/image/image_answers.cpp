// What the container and the ROM header say of an image, in one place for
// every command: the container answers for itself, the ROM header and the
// kernel's entry point where it has no answer.
#include <optional>

#include "common/le.h"
#include "image/image.h"
#include "image/module_layout.h"

namespace xipsaw {

ImageExtent image_extent(Image& image) {
  return image.store->extent(*image.stream, image.rom_header.physlast() - image.rom_offset);
}

uint32_t image_length(const Image& image) {
  return image.store->length(image.rom_header.physlast() - image.rom_header.physfirst());
}

uint32_t launch_address(Image& image) {
  if (const std::optional<uint32_t> recorded = image.store->launch_address(*image.stream)) return *recorded;
  TableReader table;
  ModuleEntry module;
  std::optional<ModuleEntry> kernel;
  if (load_module_table(image, table)) {
    while (next_module_entry(image, table, module)) {
      if (!read_image_string(image, module.name_address, module.name)) continue;
      if (!kernel || module.name == "nk.exe") kernel = module;
      if (module.name == "nk.exe") break;
    }
  }
  uint8_t e32[kE32ImageBase + 4] = {};
  if (!kernel || locate_address(image, kernel->e32offset) == 0 || read_image(image, e32, sizeof e32) != sizeof e32)
    return image.store->first_address();
  return load_u32(e32 + kE32ImageBase) + load_u32(e32 + kE32EntryPoint) - image.rom_offset;
}

}  // namespace xipsaw
