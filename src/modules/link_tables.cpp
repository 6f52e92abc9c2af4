#include "modules/link_tables.h"

#include <algorithm>
#include <set>
#include <utility>

#include "common/le.h"
#include "modules/pe_layout.h"

namespace xipsaw {

int RvaMap::section_of(uint32_t rva) const {
  int directory_section = -1;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const PlacedSection& s = sections_[i];
    if (rva - s.rva >= s.extent) continue;
    if (!s.is_directory) return static_cast<int>(i);
    if (directory_section < 0) directory_section = static_cast<int>(i);
  }
  return directory_section;
}

int RvaMap::section_of_directory(uint32_t rva, uint32_t size) const {
  for (size_t i = 0; i < sections_.size(); ++i)
    if (sections_[i].rva == rva && sections_[i].virtual_size == size) return static_cast<int>(i);
  return section_of(rva);
}

namespace {

// Words that the link tables of one module may make us read. Real modules
// hold a few thousand; only a hostile image holds more. Memory follows:
// a patch, or a set entry for a thunk array or a resource directory, for
// each word at most.
constexpr uint64_t kMaxWords = uint64_t{1} << 18;
constexpr uint32_t kOrdinal = 0x80000000u;  // a thunk that imports by ordinal
constexpr int kMaxResourceDepth = 16;       // real trees have three levels

class LinkTables {
 public:
  LinkTables(const RvaMap& map, OutputFile& file, std::vector<Patch>& patches)
      : map_(map), file_(file), patches_(patches) {}

  bool spent() const { return words_ > kMaxWords; }

  void exports(int s, uint32_t rva) {
    constexpr uint32_t kName = 12, kFunctionCount = 20, kNameCount = 24, kFunctions = 28, kNames = 32,
                       kOrdinals = 36;
    uint32_t functions = 0, names = 0, function_count = 0, name_count = 0;
    if (!word(s, rva + kFunctions, functions) || !word(s, rva + kNames, names) ||
        !word(s, rva + kFunctionCount, function_count) || !word(s, rva + kNameCount, name_count))
      return;
    for (uint32_t field : {kName, kFunctions, kNames, kOrdinals}) move_word(s, rva + field);
    move_array(functions, function_count, false);
    move_array(names, name_count, false);
  }

  void imports(int s, uint32_t rva) {
    constexpr uint32_t kDescriptorSize = 20, kOriginalThunks = 0, kName = 12, kThunks = 16;
    std::set<uint32_t> arrays;  // each thunk array is moved once, however many descriptors share it
    for (uint32_t at = rva; !spent(); at += kDescriptorSize) {
      uint32_t fields[5];
      bool held = true;
      for (uint32_t i = 0; i < 5 && held; ++i) held = word(s, at + 4 * i, fields[i]);
      if (!held || std::all_of(fields, fields + 5, [](uint32_t f) { return f == 0; })) return;
      for (uint32_t field : {kOriginalThunks, kName, kThunks}) move_word(s, at + field);
      for (uint32_t thunks : {fields[kOriginalThunks / 4], fields[kThunks / 4]})
        if (thunks != 0 && arrays.insert(thunks).second) move_array(thunks, UINT32_MAX, true);
    }
  }

  void resources(int s, uint32_t root) {
    constexpr uint32_t kCounts = 12, kEntries = 16, kSubdirectory = 0x80000000u;
    std::set<uint32_t> seen{0};
    std::vector<std::pair<uint32_t, int>> pending{{0, 0}};  // directories: offset from root, depth
    while (!pending.empty() && !spent()) {
      const auto [offset, depth] = pending.back();
      pending.pop_back();
      uint32_t counts = 0;
      if (!word(s, root + offset + kCounts, counts)) continue;
      const uint32_t entries = (counts & 0xFFFF) + (counts >> 16);  // named, then by number
      for (uint32_t e = 0; e < entries && !spent(); ++e) {
        uint32_t target = 0;
        if (!word(s, root + offset + kEntries + 8 * e + 4, target)) break;
        if (!(target & kSubdirectory)) {
          move_word(s, root + target);  // a data entry: its first word is the data's RVA
        } else if (depth + 1 < kMaxResourceDepth && seen.insert(target & ~kSubdirectory).second) {
          pending.push_back({target & ~kSubdirectory, depth + 1});
        }
      }
    }
  }

 private:
  // The word at rva of section s, where its data holds it.
  bool word(int s, uint32_t rva, uint32_t& value) {
    ++words_;
    const PlacedSection& section = map_.sections()[s];
    const uint32_t at = rva - section.rva;
    if (spent() || at >= section.raw_size || section.raw_size - at < 4) return false;
    return read(uint64_t{section.raw_pointer} + at, value);
  }

  // Reads through a window of the file, so that tables cost few calls.
  bool read(uint64_t offset, uint32_t& value) {
    if (offset < window_start_ || offset + 4 > window_start_ + window_.size()) {
      window_.resize(kWindow);
      window_start_ = offset;
      // The window may reach past the end of the file: take what it holds.
      size_t size = kWindow;
      while (size >= 4 && !file_.read_at(offset, window_.data(), size)) size /= 2;
      window_.resize(size >= 4 ? size : 0);
      if (window_.empty()) return false;
    }
    value = load_u32(&window_[offset - window_start_]);
    return true;
  }

  // Moves the RVA held in the word at rva of section s, if it is one.
  void move_word(int s, uint32_t rva) {
    uint32_t value = 0;
    if (word(s, rva, value)) move_value(s, rva, value);
  }

  void move_value(int s, uint32_t rva, uint32_t value) {
    const uint32_t moved = value == 0 ? 0 : map_.moved(value);
    const PlacedSection& section = map_.sections()[s];
    if (moved != value) patches_.push_back({uint64_t{section.raw_pointer} + (rva - section.rva), moved});
  }

  // Moves the RVAs of an array of count words at rva; with thunks, up to
  // its zero word, passing over imports by ordinal.
  void move_array(uint32_t rva, uint32_t count, bool thunks) {
    const int s = map_.section_of(rva);
    if (s < 0) return;
    for (uint32_t i = 0; i < count && !spent(); ++i) {
      uint32_t value = 0;
      const uint32_t at = rva + 4 * i;
      if (!word(s, at, value) || (thunks && value == 0)) return;
      if (!(thunks && (value & kOrdinal))) move_value(s, at, value);
    }
  }

  static constexpr size_t kWindow = 64 * 1024;
  const RvaMap& map_;
  OutputFile& file_;
  std::vector<Patch>& patches_;
  std::vector<uint8_t> window_;
  uint64_t window_start_ = 0;
  uint64_t words_ = 0;
};

}  // namespace

bool find_link_table_rvas(const RvaMap& map, const uint8_t* directories, OutputFile& file,
                          std::vector<Patch>& patches) {
  LinkTables tables(map, file, patches);
  auto section = [&](int d, uint32_t& rva) {
    rva = load_u32(directories + 8 * d);
    return rva == 0 ? -1 : map.section_of_directory(rva, load_u32(directories + 8 * d + 4));
  };
  uint32_t rva = 0;
  if (const int s = section(pe::kExportDirectory, rva); s >= 0) tables.exports(s, rva);
  if (const int s = section(pe::kImportDirectory, rva); s >= 0) tables.imports(s, rva);
  if (const int s = section(pe::kResourceDirectory, rva); s >= 0) tables.resources(s, rva);
  return !tables.spent();
}

}  // namespace xipsaw
