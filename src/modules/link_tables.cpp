#include "modules/link_tables.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
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

// Words that the link tables of one module may make us read (a byte of a
// DLL name counts as one). Real modules hold a few thousand; only a hostile
// image holds more. Memory follows: a patch, a set entry for a lookup table
// or a resource directory, or a word and a hint/name entry of the new
// section, for each word at most.
constexpr uint64_t kMaxWords = uint64_t{1} << 18;
constexpr uint32_t kOrdinal = 0x80000000u;  // a thunk that imports by ordinal
constexpr int kMaxResourceDepth = 16;       // real trees have three levels

class LinkTables {
 public:
  LinkTables(const RvaMap& map, OutputFile& file, std::vector<Patch>& patches, ImportNaming* naming)
      : map_(map), file_(file), patches_(patches), naming_(naming) {}

  bool spent() const { return words_ > kMaxWords; }

  void exports(int s, uint32_t rva) {
    constexpr uint32_t kName = 12, kFunctionCount = 20, kNameCount = 24, kFunctions = 28, kNames = 32,
                       kOrdinals = 36;
    uint32_t functions = 0, names = 0, function_count = 0, name_count = 0;
    if (!word(s, rva + kFunctions, functions) || !word(s, rva + kNames, names) ||
        !word(s, rva + kFunctionCount, function_count) || !word(s, rva + kNameCount, name_count))
      return;
    for (uint32_t field : {kName, kFunctions, kNames, kOrdinals}) move_word(s, rva + field);
    move_array(functions, function_count);
    move_array(names, name_count);
  }

  void imports(int s, uint32_t rva) {
    constexpr uint32_t kDescriptorSize = 20, kLookup = 0, kName = 12, kThunks = 16;
    std::set<uint32_t> tables;  // each lookup table is walked once, however many descriptors share it
    for (uint32_t at = rva; !spent(); at += kDescriptorSize) {
      uint32_t fields[5];
      bool read = true;
      for (uint32_t i = 0; i < 5 && read; ++i) read = word(s, at + 4 * i, fields[i]);
      if (!read || std::all_of(fields, fields + 5, [](uint32_t f) { return f == 0; })) return;
      for (uint32_t field : {kLookup, kName, kThunks}) move_word(s, at + field);
      const DllNames* dll = naming_ != nullptr ? naming_->names->find(text(fields[kName / 4])) : nullptr;
      const uint32_t lookup = fields[kLookup / 4], thunks = fields[kThunks / 4];
      if (lookup != 0 && tables.insert(lookup).second) walk_lookup_table(lookup, dll);
      if (lookup == 0 && thunks != 0 && naming_ != nullptr) add_lookup_table(s, at + kLookup, thunks, dll);
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
  // Where the byte at rva of section s lies in the file, or false when the
  // section's data does not hold count bytes there.
  bool held(int s, uint32_t rva, uint32_t count, uint64_t& offset) const {
    const PlacedSection& section = map_.sections()[s];
    const uint32_t at = rva - section.rva;
    if (at >= section.raw_size || section.raw_size - at < count) return false;
    offset = uint64_t{section.raw_pointer} + at;
    return true;
  }

  // The word at rva of section s, where its data holds it.
  bool word(int s, uint32_t rva, uint32_t& value) {
    ++words_;
    uint64_t offset = 0;
    uint8_t bytes[4];
    if (spent() || !held(s, rva, 4, offset) || !read(offset, bytes, 4)) return false;
    value = load_u32(bytes);
    return true;
  }

  // The text at rva up to its NUL, the 255 bytes a DLL name may have, or
  // the end of its section's data.
  std::string text(uint32_t rva) {
    std::string text;
    const int s = map_.section_of(rva);
    uint64_t offset = 0;
    char c = 0;
    while (s >= 0 && text.size() < 255 && !spent() && held(s, rva + static_cast<uint32_t>(text.size()), 1, offset) &&
           read(offset, reinterpret_cast<uint8_t*>(&c), 1) && c != '\0') {
      ++words_;
      text += c;
    }
    return text;
  }

  // Reads through a window of the file, so that tables cost few calls.
  bool read(uint64_t offset, uint8_t* bytes, size_t count) {
    if (offset < window_start_ || offset + count > window_start_ + window_.size()) {
      window_.resize(kWindow);
      window_start_ = offset;
      // The window may reach past the end of the file: take what it holds.
      size_t size = kWindow;
      while (size >= 4 && !file_.read_at(offset, window_.data(), size)) size /= 2;
      window_.resize(size >= 4 ? size : 0);
      if (window_.size() < count) return false;
    }
    std::copy_n(&window_[offset - window_start_], count, bytes);
    return true;
  }

  // Moves the RVA held in the word at rva of section s, if it is one.
  void move_word(int s, uint32_t rva) {
    uint32_t value = 0;
    if (word(s, rva, value)) move_value(s, rva, value);
  }

  void move_value(int s, uint32_t rva, uint32_t value) {
    const uint32_t moved = value == 0 ? 0 : map_.moved(value);
    uint64_t offset = 0;
    if (moved != value && held(s, rva, 4, offset)) patches_.push_back({offset, moved});
  }

  // Moves the RVAs of an array of count words at rva.
  void move_array(uint32_t rva, uint32_t count) {
    const int s = map_.section_of(rva);
    if (s < 0) return;
    for (uint32_t i = 0; i < count && !spent(); ++i) {
      uint32_t value = 0;
      if (!word(s, rva + 4 * i, value)) return;
      move_value(s, rva + 4 * i, value);
    }
  }

  // Visits the words of the thunk array at rva up to its zero word.
  template <typename Visit>
  void thunks(uint32_t rva, Visit&& visit) {
    const int s = map_.section_of(rva);
    uint32_t value = 0;
    for (uint32_t at = rva; s >= 0 && !spent() && word(s, at, value) && value != 0; at += 4) visit(s, at, value);
  }

  // A lookup table: its hint/name RVAs move; with naming, its imports by
  // ordinal that dll exports by name point at a hint/name entry instead.
  void walk_lookup_table(uint32_t rva, const DllNames* dll) {
    thunks(rva, [&](int s, uint32_t at, uint32_t value) {
      uint64_t offset = 0;
      if (!(value & kOrdinal))
        move_value(s, at, value);
      else if (const uint32_t entry = hint_name(dll, value); entry != 0 && held(s, at, 4, offset))
        naming_->patches.push_back({offset, entry});
    });
  }

  // A descriptor without a lookup table, whose import address table a
  // loader then reads as one: the new section holds a lookup table of the
  // same imports, named and moved as walk_lookup_table does, and the
  // descriptor's field at field_rva of section s points at it.
  void add_lookup_table(int s, uint32_t field_rva, uint32_t thunk_rva, const DllNames* dll) {
    std::vector<uint32_t> table;
    thunks(thunk_rva, [&](int, uint32_t, uint32_t value) {
      const uint32_t entry = (value & kOrdinal) ? hint_name(dll, value) : map_.moved(value);
      table.push_back(entry != 0 ? entry : value);
    });
    table.push_back(0);
    std::vector<uint8_t>& section = naming_->section;
    section.resize(pe::align_up(section.size(), 4));
    const uint32_t table_rva = naming_->rva + static_cast<uint32_t>(section.size());
    for (const uint32_t entry : table) {
      section.resize(section.size() + 4);
      store_u32(&section[section.size() - 4], entry);
    }
    uint64_t offset = 0;
    if (held(s, field_rva, 4, offset)) naming_->patches.push_back({offset, table_rva});
  }

  // The RVA of the hint/name entry of an import by ordinal (thunk) that dll
  // exports by name, added to the new section once; 0 when it has none.
  uint32_t hint_name(const DllNames* dll, uint32_t thunk) {
    if (dll == nullptr || (thunk & ~kOrdinal) > 0xFFFF) return 0;
    const uint32_t ordinal = thunk & 0xFFFF;
    const auto name = dll->find(ordinal);
    if (name == dll->end()) return 0;
    auto [entry, added] = entries_.try_emplace({dll, ordinal}, 0);
    if (added) {
      std::vector<uint8_t>& section = naming_->section;
      section.resize(pe::align_up(section.size(), 2));
      entry->second = naming_->rva + static_cast<uint32_t>(section.size());
      section.push_back(static_cast<uint8_t>(ordinal));
      section.push_back(static_cast<uint8_t>(ordinal >> 8));
      section.insert(section.end(), name->second.begin(), name->second.end());
      section.push_back(0);
    }
    return entry->second;
  }

  static constexpr size_t kWindow = 64 * 1024;
  const RvaMap& map_;
  OutputFile& file_;
  std::vector<Patch>& patches_;
  ImportNaming* naming_;
  std::map<std::pair<const DllNames*, uint32_t>, uint32_t> entries_;  // hint/name entries added, by DLL and ordinal
  std::vector<uint8_t> window_;
  uint64_t window_start_ = 0;
  uint64_t words_ = 0;
};

}  // namespace

bool find_link_table_rvas(const RvaMap& map, const uint8_t* directories, OutputFile& file,
                          std::vector<Patch>& patches, ImportNaming* naming) {
  LinkTables tables(map, file, patches, naming != nullptr && naming->names != nullptr ? naming : nullptr);
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
