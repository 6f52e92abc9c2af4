#include "modules/stored_module.h"

#include <algorithm>
#include <cstring>

#include "common/le.h"
#include "extraction/stored_data.h"
#include "modules/pe_layout.h"

namespace xipsaw {

bool StoredModule::open(const ModuleEntry& module, E32Layout layout) {
  if (read_module_records(run_.image, module, layout, records_) != nullptr ||
      !budget_.read(records_.offsets.size + uint64_t{kO32Size} * records_.sections.size()))
    return false;
  // A section that is exactly a data directory's is passed over where
  // another holds the same RVA, as the rebuilt executable's RVAs are; the
  // directories are those the rebuild keeps (it drops 5 and 6).
  auto is_directory = [&](const O32Entry& s) {
    for (int d : {0, 1, 2, 3, 4, 7, 8, -1}) {
      const uint8_t* pair = d >= 0 ? records_.directory(d) : records_.e32 + kE32ComDirectory;
      if (load_u32(pair) == s.rva && load_u32(pair + 4) == s.virtual_size) return true;
    }
    return false;
  };
  std::vector<PlacedSection> sections;
  for (const O32Entry& s : records_.sections)
    sections.push_back({s.rva, s.virtual_size, s.virtual_size, 0, 0, s.rva, is_directory(s)});
  map_ = RvaMap(std::move(sections));
  lengths_.assign(records_.sections.size(), -1);
  return true;
}

uint32_t StoredModule::expand(size_t i) {
  if (expanded_ == i) return static_cast<uint32_t>(lengths_[i]);
  const O32Entry& s = records_.sections[i];
  expanded_ = SIZE_MAX;
  expansion_.reset();
  if (!budget_.read(s.virtual_size) || locate_address(run_.image, s.data_address) == 0) return 0;
  const int32_t length = expand_at_cursor(run_, s.stored_size, s.virtual_size, expansion_);
  if (length < 0) return 0;
  expanded_ = i;
  lengths_[i] = length;
  return static_cast<uint32_t>(length);
}

uint32_t StoredModule::data_length(size_t i) {
  if (lengths_[i] >= 0) return static_cast<uint32_t>(lengths_[i]);
  const O32Entry& s = records_.sections[i];
  uint32_t length = 0;
  if (s.stored_size == 0 || locate_address(run_.image, s.data_address) == 0)
    length = 0;
  else if (s.flags & kCompressedSection)
    length = expand(i);
  else
    length = measure_image(run_.image, s.data_address, s.stored_size);
  lengths_[i] = length;
  return length;
}

bool StoredModule::read(uint32_t rva, uint8_t* bytes, uint32_t count) {
  // Finding the section looks through the section table, which a hostile
  // module makes 65535 entries long: that counts as reading too.
  if (!budget_.read(uint64_t{count} + records_.sections.size())) return false;
  const int i = map_.section_of(rva);
  if (i < 0) return false;
  const O32Entry& s = records_.sections[i];
  const uint32_t at = rva - s.rva;
  if (count > s.virtual_size - at) return false;
  std::fill_n(bytes, count, uint8_t{0});
  const uint32_t length = data_length(i);
  if (at >= length) return true;
  const uint32_t held = std::min(count, length - at);
  if (s.flags & kCompressedSection) {
    if (expand(i) != length) return false;
    std::memcpy(bytes, &expansion_[at], held);
  } else if (locate_address(run_.image, s.data_address + at) != 0) {
    read_image(run_.image, bytes, held);
  }
  return true;
}

std::string StoredModule::text(uint32_t rva, uint32_t max) {
  std::string text;
  uint8_t chunk[64];
  while (text.size() < max) {
    const uint32_t at = rva + static_cast<uint32_t>(text.size());
    const int i = map_.section_of(at);
    if (i < 0) break;
    const O32Entry& s = records_.sections[i];
    const uint32_t count =
        std::min<uint32_t>({sizeof chunk, s.virtual_size - (at - s.rva), max - static_cast<uint32_t>(text.size())});
    if (!read(at, chunk, count)) break;
    const auto end = std::find(chunk, chunk + count, uint8_t{0});
    text.append(chunk, end);
    if (end != chunk + count) break;
  }
  return text;
}

void for_each_stored_module(Run& run, ReadBudget& budget,
                            const std::function<void(const ModuleEntry&, StoredModule&)>& visit) {
  Image& image = run.image;
  const E32Layout layout = decide_e32_layout(image);
  TableReader table;
  ModuleEntry module;
  if (!load_module_table(image, table)) return;
  while (!budget.spent() && next_module_entry(image, table, module)) {
    StoredModule stored(run, budget);
    if (read_image_string(image, module.name_address, module.name) && stored.open(module, layout))
      visit(module, stored);
  }
}

}  // namespace xipsaw
