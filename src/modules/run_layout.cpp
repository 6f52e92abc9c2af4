#include "modules/run_layout.h"

#include <algorithm>
#include <tuple>

#include "common/le.h"
#include "modules/link_tables.h"
#include "modules/pe_layout.h"

namespace xipsaw {

using namespace pe;

namespace {

constexpr uint64_t kBaseAlignment = 0x10000;  // an ImageBase is a multiple of 64 KiB
constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint64_t kLongestSpan = uint64_t{1} << 31;

// One section as the rebuild wrote it, and where it runs.
struct Written {
  size_t index;  // in the section table
  uint32_t rva, virtual_size, raw_size, raw_pointer;
  uint64_t run;
  uint64_t size;  // its virtual size at the run address, cut where the next section begins
};

// Where the sections go: ImageBase, each section's run address, in address
// order, with the virtual sizes cut so that none reaches into the next.
// nullptr, or why the module cannot lie there.
const char* plan(std::vector<Written>& sections, uint32_t base, uint32_t size_of_headers, uint64_t& image_base,
                 uint64_t& end) {
  // Where two begin at one address, a section with nothing stored comes
  // first: it is cut to nothing rather than overlapping the other.
  std::sort(sections.begin(), sections.end(), [](const Written& a, const Written& b) {
    return std::tuple(a.run, a.raw_size != 0, a.index) < std::tuple(b.run, b.raw_size != 0, b.index);
  });
  const uint64_t first = sections.front().run;
  image_base = std::min<uint64_t>(base, first) / kBaseAlignment * kBaseAlignment;
  // The headers need room below the first section: 4 KiB, or more where
  // thousands of sections make them longer.
  const uint64_t room = align_up(std::max<uint32_t>(size_of_headers, 1), kSectionAlignment);
  while (first < image_base + room) {
    if (image_base < kBaseAlignment) return "no room for its headers below its first section";
    image_base -= kBaseAlignment;
  }
  end = 0;
  for (size_t i = 0; i < sections.size(); ++i) {
    Written& s = sections[i];
    s.size = s.virtual_size;
    if (i + 1 < sections.size()) {
      const uint64_t next = sections[i + 1].run;
      if (s.run + s.raw_size > next) return "the stored bytes of two of its sections overlap";
      s.size = std::min(s.size, next - s.run);
    }
    end = std::max(end, s.run + std::max<uint64_t>(s.size, s.raw_size));
  }
  if (end > kAddressSpace) return "a section runs past the end of the address space";
  if (end - image_base >= kLongestSpan) return "its sections span 2 GiB or more";
  return nullptr;
}

// Writes the patches, runs of adjacent words at a time.
void apply(std::vector<Patch>& patches, OutputFile& output) {
  std::sort(patches.begin(), patches.end(), [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
  std::vector<uint8_t> run;
  uint64_t start = 0;
  for (size_t i = 0; i < patches.size(); ++i) {
    if (i > 0 && patches[i].offset == patches[i - 1].offset) continue;  // one word reached twice
    if (!run.empty() && patches[i].offset != start + run.size()) {
      output.write_at(start, run.data(), run.size());
      run.clear();
    }
    if (run.empty()) start = patches[i].offset;
    run.resize(run.size() + 4);
    store_u32(&run[run.size() - 4], patches[i].value);
  }
  if (!run.empty()) output.write_at(start, run.data(), run.size());
}

// Adds the section that names the imports, once every other section has
// moved: its data at the end of the file, its header after the others'.
void add_import_section(std::vector<uint8_t>& headers, const RunLayout& layout, ImportNaming& naming,
                        OutputFile& output) {
  const size_t count = layout.order.size();
  const uint64_t size = naming.section.size();
  const uint64_t end = uint64_t{naming.rva} + size;
  if (size == 0 || headers.size() < kSectionTable + kSectionHeaderSize * (count + 1) ||
      layout.image_base + end > kAddressSpace || end >= kLongestSpan)
    return;
  uint64_t file_end = headers.size();
  for (const PlacedSection& s : layout.map.sections())
    file_end = std::max(file_end, s.raw_pointer + align_up(s.raw_size, kFileAlignment));
  apply(naming.patches, output);
  output.write(naming.section.data(), size);
  output.write_zeros(align_up(size, kFileAlignment) - size);

  constexpr uint32_t kReadable = 0x40000000;
  uint8_t* sh = &headers[kSectionTable + kSectionHeaderSize * count];
  std::fill_n(sh, kSectionHeaderSize, uint8_t{0});
  std::copy_n(".idata", 6, sh);
  store_u32(sh + kVirtualSize, static_cast<uint32_t>(size));
  store_u32(sh + kVirtualAddress, naming.rva);
  store_u32(sh + kSizeOfRawData, static_cast<uint32_t>(size));
  store_u32(sh + kPointerToRawData, static_cast<uint32_t>(file_end));
  store_u32(sh + kCharacteristics, kInitializedData | kReadable);
  store_u16(&headers[kNtHeaders + kNumberOfSections], static_cast<uint32_t>(count + 1));
  store_u32(&headers[kOptionalHeader + kSizeOfImage], static_cast<uint32_t>(align_up(end, kSectionAlignment)));
}

}  // namespace

uint32_t RunLayout::entry_point(uint32_t entry) const {
  const int s = map.section_of(entry);
  return s >= 0 ? map.moved(s, entry) : static_cast<uint32_t>(entry + base - image_base);
}

const char* plan_run_layout(const std::vector<uint8_t>& headers, const std::vector<uint32_t>& run_addresses,
                            RunLayout& layout) {
  const uint8_t* opt = &headers[kOptionalHeader];
  layout.base = load_u32(opt + kImageBase);
  const size_t count = run_addresses.size();
  if (count == 0) return "it has no sections";

  std::vector<Written> sections(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* sh = &headers[kSectionTable + kSectionHeaderSize * i];
    Written& s = sections[i];
    s = {i, load_u32(sh + kVirtualAddress), load_u32(sh + kVirtualSize), load_u32(sh + kSizeOfRawData),
         load_u32(sh + kPointerToRawData), 0, 0};
    s.run = run_addresses[i] != 0 ? run_addresses[i] : static_cast<uint32_t>(layout.base + s.rva);
  }
  if (const char* reason = plan(sections, layout.base, load_u32(opt + kSizeOfHeaders), layout.image_base, layout.end))
    return reason;

  // The map from the rebuilt RVAs to the new ones, in section table order.
  const uint8_t* directories = opt + kDataDirectories;
  auto is_directory = [&](const Written& s) {
    for (int d = 0; d < kDirectoryCount; ++d)
      if (load_u32(directories + 8 * d) == s.rva && load_u32(directories + 8 * d + 4) == s.virtual_size) return true;
    return false;
  };
  std::vector<PlacedSection> placed(count);
  layout.order.clear();
  layout.sizes.clear();
  for (const Written& s : sections) {
    placed[s.index] = {s.rva, s.virtual_size, std::max(s.virtual_size, s.raw_size), s.raw_pointer, s.raw_size,
                       static_cast<uint32_t>(s.run - layout.image_base), is_directory(s)};
    layout.order.push_back(s.index);
    layout.sizes.push_back(static_cast<uint32_t>(s.size));
  }
  layout.map = RvaMap(std::move(placed));
  return nullptr;
}

const char* place_at_run_addresses(std::vector<uint8_t>& headers, const std::vector<uint32_t>& run_addresses,
                                   OutputFile& output, const ExportNames* names) {
  if (run_addresses.empty()) return nullptr;  // nothing to move
  RunLayout layout;
  if (const char* reason = plan_run_layout(headers, run_addresses, layout)) return reason;
  const RvaMap& map = layout.map;
  uint8_t* opt = &headers[kOptionalHeader];
  uint8_t* directories = opt + kDataDirectories;

  // The names of the imports go after the highest section.
  ImportNaming naming{names, static_cast<uint32_t>(align_up(layout.end - layout.image_base, kSectionAlignment)), {},
                      {}};
  std::vector<Patch> patches;
  if (!find_link_table_rvas(map, directories, output, patches, &naming))
    return "its link tables are larger than any module's";
  apply(patches, output);

  // The headers.
  store_u32(opt + kEntryPoint, layout.entry_point(load_u32(opt + kEntryPoint)));
  const size_t count = run_addresses.size();
  auto first_with = [&](uint32_t flag) -> uint32_t {
    for (size_t i = 0; i < count; ++i)
      if (load_u32(&headers[kSectionTable + kSectionHeaderSize * i + kCharacteristics]) & flag)
        return map.sections()[i].new_rva;
    return 0;
  };
  store_u32(opt + kBaseOfCode, first_with(kCode));
  store_u32(opt + kBaseOfData, first_with(kInitializedData));
  store_u32(opt + kImageBase, static_cast<uint32_t>(layout.image_base));
  store_u32(opt + kSizeOfImage, static_cast<uint32_t>(align_up(layout.end - layout.image_base, kSectionAlignment)));
  // Each directory moves with its section; one that points into none is
  // left out.
  for (int d = 0; d < kDirectoryCount; ++d) {
    uint8_t* pair = directories + 8 * d;
    const uint32_t rva = load_u32(pair);
    if (rva == 0 && load_u32(pair + 4) == 0) continue;
    const int s = map.section_of_directory(rva, load_u32(pair + 4));
    store_u32(pair, s >= 0 ? map.moved(s, rva) : 0);
    if (s < 0) store_u32(pair + 4, 0);
  }
  // The section table in address order.
  const std::vector<uint8_t> table(headers.begin() + kSectionTable,
                                   headers.begin() + kSectionTable + kSectionHeaderSize * count);
  for (size_t k = 0; k < count; ++k) {
    const size_t index = layout.order[k];
    uint8_t* sh = &headers[kSectionTable + kSectionHeaderSize * k];
    std::copy_n(&table[kSectionHeaderSize * index], kSectionHeaderSize, sh);
    store_u32(sh + kVirtualAddress, map.sections()[index].new_rva);
    store_u32(sh + kVirtualSize, layout.sizes[k]);
  }
  add_import_section(headers, layout, naming, output);
  return nullptr;
}

}  // namespace xipsaw
