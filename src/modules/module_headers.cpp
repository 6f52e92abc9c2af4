#include "modules/module_headers.h"

#include <algorithm>
#include <iterator>

#include "common/le.h"

namespace xipsaw {

const char* layout_name(E32Layout layout) { return layout == E32Layout::newer ? "newer" : "classic"; }

const char* read_module_records(Image& image, const ModuleEntry& module, E32Layout layout, ModuleRecords& records) {
  records.offsets = e32_offsets(layout);
  std::fill(std::begin(records.e32), std::end(records.e32), uint8_t{0});
  records.sections.clear();
  if (locate_address(image, module.e32offset) == 0) return "Unable to locate e32offset\n";
  read_image(image, records.e32, records.offsets.size);
  const uint32_t count = load_u16(records.e32 + kE32SectionCount);
  if (locate_address(image, module.o32offset) == 0) return "Unable to locate o32offset\n";
  std::vector<uint8_t> o32(size_t{kO32Size} * count, 0);
  read_image(image, o32.data(), static_cast<uint32_t>(o32.size()));
  records.sections.resize(count);
  for (uint32_t i = 0; i < count; ++i) records.sections[i] = O32Entry::parse(&o32[size_t{kO32Size} * i]);
  return nullptr;
}

// The word at 0x20 is the export directory's RVA in the classic layout and
// the link time stamp in the newer one. An RVA lies inside the module, so a
// word above the module's image_size can only be a time stamp: real stamps
// are 0x3C864EE4 and more, far above any real image_size (0xBB000 at most),
// while real export RVAs, and the zero of a module without exports, stay
// below it. Each module whose header can be read votes; an image whose
// modules mostly hold such a word uses the newer layout. A module without a
// time stamp (0 at 0x20) votes classic, but is read in its image's layout
// like every other.
E32Layout decide_e32_layout(Image& image) {
  TableReader table;
  if (!load_module_table(image, table)) return E32Layout::classic;
  uint64_t voters = 0;
  uint64_t stamped = 0;
  ModuleEntry module;
  while (next_module_entry(image, table, module)) {
    uint8_t head[kE32StampOrExports + 4] = {};
    if (locate_address(image, module.e32offset) == 0 || read_image(image, head, sizeof head) != sizeof head)
      continue;
    ++voters;
    if (load_u32(head + kE32StampOrExports) > load_u32(head + kE32ImageSize)) ++stamped;
  }
  return stamped * 2 > voters ? E32Layout::newer : E32Layout::classic;
}

}  // namespace xipsaw
