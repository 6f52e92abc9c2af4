#include "verify/verify.h"

#include <algorithm>
#include <cstdarg>
#include <memory>
#include <vector>

#include "common/le.h"
#include "extraction/block_claims.h"
#include "extraction/stored_data.h"
#include "modules/module_headers.h"
#include "output/messages.h"

namespace xipsaw {

namespace {

// Problem lines printed at most for one entry (a module, a file, the record
// chain) and in all; the rest are counted. A hostile image may hold
// billions of problems.
constexpr uint32_t kMaxEntryLines = 100;
constexpr uint64_t kMaxLines = 10000;

class Checker {
 public:
  Checker(Run& run, VerifyTotals& totals) : run_(run), image_(run.image), totals_(totals) {}

  // The image's tables and entries (its container is checked apart).
  void check() {
    layout_ = decide_e32_layout(image_);
    check_modules();
    check_files();
  }

  // The container's own structure (its records, for a BIN container),
  // whether its image opens or not.
  void check_container() {
    ++totals_.images;
    entry_lines_ = 0;
    totals_.records += image_.store->check(*image_.stream, [this](const std::string& text) { problem("%s", text.c_str()); });
  }

 private:
#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void problem(const char* format, ...) {
    ++totals_.problems;
    if (entry_lines_ == kMaxEntryLines || totals_.printed == kMaxLines) {
      ++totals_.unprinted;
      return;
    }
    ++entry_lines_;
    ++totals_.printed;
    va_list args;
    va_start(args, format);
    std::vfprintf(run_.out, format, args);
    va_end(args);
    std::fputc('\n', run_.out);
  }

  // ---- Tables and names -----------------------------------------------------

  // Walks a table of count entries of entry_size bytes at address, calling
  // visit(index, bytes) for each entry that the image holds in full; the
  // first that it does not ends the table.
  template <typename Visit>
  void walk_table(const char* table, uint32_t address, uint32_t count, uint32_t entry_size, Visit&& visit) {
    std::vector<uint8_t> entry(entry_size);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t at = address + i * entry_size;
      if (measure_image(image_, at, entry_size) != entry_size) {
        problem("%s entries %u to %u (at 0x%08x on) are not in the image", table, i, count - 1, at);
        return;
      }
      locate_address(image_, at);
      read_image(image_, entry.data(), entry_size);
      visit(i, entry.data(), at);
    }
  }

  // The entry's name, or false after reporting why it has none to show.
  // Each entry's problems begin here.
  bool check_name(const char* kind, uint32_t index, uint32_t entry_address, uint32_t name_address,
                  std::string& name) {
    entry_lines_ = 0;
    bool terminated = false;
    if (!read_image_string(image_, name_address, name, &terminated)) {
      problem("%s entry %u at 0x%08x: its name at 0x%08x is not in the image", kind, index, entry_address,
              name_address);
      return false;
    }
    if (!terminated)
      problem("%s %s: its name at 0x%08x runs off the image without an end", kind, printable(name).c_str(),
              name_address);
    else if (has_control_bytes(name))
      problem("%s %s: its name holds control bytes", kind, printable(name).c_str());
    return true;
  }

  // Whether the entry may use the size bytes at address (see use_block): a
  // refusal is one problem, after which the entry is checked no further (a
  // hostile image points many entries at one block, or into one long run,
  // to be read and expanded again and again).
  bool claim(const char* kind, const std::string& name, uint32_t name_address, uint32_t address, uint32_t size) {
    std::string why;
    if (use_block(run_, address, size, name_address, why)) return true;
    problem("%s %s %s", kind, name.c_str(), why.c_str());
    return false;
  }

  // Whether count bytes at address lie in the image, the cursor then on
  // the first of them (measuring does not move it).
  bool held(uint32_t address, uint32_t count) {
    return locate_address(image_, address) != 0 && measure_image(image_, address, count) == count;
  }

  // ---- Modules --------------------------------------------------------------

  void check_modules() {
    const uint32_t count = image_.rom_header.module_count();
    walk_table("Module table", image_.rom_header_address + kRomHeaderSize, count, kModuleEntrySize,
               [&](uint32_t index, const uint8_t* bytes, uint32_t at) {
                 ++totals_.modules;
                 ModuleEntry module = ModuleEntry::parse(bytes);
                 if (check_name("Module", index, at, module.name_address, module.name)) check_module(module);
               });
  }

  void check_module(const ModuleEntry& module) {
    const std::string name = printable(module.name);
    const E32Offsets e32 = e32_offsets(layout_);
    if (!claim("Module", name, module.name_address, module.e32offset, e32.size)) return;
    if (!held(module.e32offset, e32.size)) {
      problem("Module %s: its E32 header at 0x%08x is not wholly in the image", name.c_str(), module.e32offset);
      return;
    }
    uint8_t head[kE32SectionCount + 2] = {};
    read_image(image_, head, sizeof head);
    const uint32_t sections = load_u16(head + kE32SectionCount);
    std::vector<uint8_t> o32(size_t{kO32Size} * sections);
    if (!held(module.o32offset, static_cast<uint32_t>(o32.size()))) {
      problem("Module %s: its %u O32 headers at 0x%08x are not wholly in the image", name.c_str(), sections,
              module.o32offset);
      return;
    }
    if (!claim("Module", name, module.name_address, module.o32offset, static_cast<uint32_t>(o32.size()))) return;
    read_image(image_, o32.data(), static_cast<uint32_t>(o32.size()));
    for (uint32_t s = 0; s < sections; ++s) {
      const O32Entry section = O32Entry::parse(&o32[size_t{kO32Size} * s]);
      if (section.stored_size == 0) continue;  // nothing stored, nothing to find
      if (!claim("Module", name, module.name_address, section.data_address, section.stored_size)) return;
      // BIN files leave out the zeros that end most sections, and a raw
      // image may end inside its last: only compressed bytes must be whole.
      if (!(section.flags & kCompressedSection)) {
        if (locate_address(image_, section.data_address) == 0)
          problem("Module %s: section %u's data at 0x%08x is not in the image", name.c_str(), s,
                  section.data_address);
        continue;
      }
      if (!held(section.data_address, section.stored_size)) {
        problem("Module %s: section %u's %u stored bytes at 0x%08x are not wholly in the image", name.c_str(), s,
                section.stored_size, section.data_address);
        continue;
      }
      std::unique_ptr<uint8_t[]> expanded;
      if (expand_at_cursor(run_, section.stored_size, section.virtual_size, expanded) < 0)
        problem("Module %s: section %u does not expand within its %u bytes", name.c_str(), s, section.virtual_size);
    }
  }

  // ---- Files ----------------------------------------------------------------

  void check_files() {
    const uint32_t count = image_.rom_header.file_count();
    walk_table("File table", file_entry_address(image_, 0), count, kFileEntrySize,
               [&](uint32_t index, const uint8_t* bytes, uint32_t at) {
                 ++totals_.files;
                 FileEntry file = FileEntry::parse(bytes);
                 if (check_name("File", index, at, file.name_address, file.name)) check_file(file);
               });
  }

  void check_file(const FileEntry& file) {
    const std::string name = printable(file.name);
    if (file.stored_size != 0 && !claim("File", name, file.name_address, file.load_offset, file.stored_size)) return;
    if (!held(file.load_offset, file.stored_size)) {
      problem("File %s: its %u stored bytes at 0x%08x are not wholly in the image", name.c_str(), file.stored_size,
              file.load_offset);
      return;
    }
    if (!(file.attributes & kCompressedFile)) {
      if (file.stored_size != file.real_size)
        problem("File %s: stores %u bytes for its %u", name.c_str(), file.stored_size, file.real_size);
      return;
    }
    std::unique_ptr<uint8_t[]> expanded;
    const int32_t result = expand_at_cursor(run_, file.stored_size, file.real_size, expanded);
    if (result < 0)
      problem("File %s: does not expand within its %u bytes", name.c_str(), file.real_size);
    else if (static_cast<uint32_t>(result) != file.real_size)
      problem("File %s: expands to %d bytes, not its %u", name.c_str(), result, file.real_size);
  }

  Run& run_;
  Image& image_;
  VerifyTotals& totals_;
  uint32_t entry_lines_ = 0;  // problem lines of the entry being checked
  E32Layout layout_ = E32Layout::classic;
};

}  // namespace

void verify_image(Run& run, VerifyTotals& totals) { Checker(run, totals).check(); }

void verify_container(Run& run, VerifyTotals& totals) { Checker(run, totals).check_container(); }

}  // namespace xipsaw
