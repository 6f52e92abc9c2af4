#include "modules/module_pass.h"

#include <cstring>
#include <optional>

#include "common/le.h"
#include "output/messages.h"
#include "extraction/block_claims.h"
#include "extraction/extracted_file.h"
#include "extraction/failure_report.h"
#include "modules/pe_rebuild.h"

namespace xipsaw {

bool is_selected(const std::string& name, int word_count, const char* const* words) {
  if (word_count <= 0) return true;
  for (int i = 0; i < word_count; ++i)
    if (name == words[i]) return true;
  return false;
}

namespace {

void print_module_line(std::FILE* out, const ModuleEntry& m) {
  say(out, "%c%c%c%c%10d%10s%22s (ROM 0x%08x)\n", (m.attributes & 0x1000) ? 'C' : '_', (m.attributes & 0x4) ? 'H' : '_',
      (m.attributes & 0x2) ? 'R' : '_', (m.attributes & 0x1) ? 'S' : '_', static_cast<int32_t>(m.size), "",
      printable(m.name).c_str(), m.load_offset);
}

// Claims the module's E32 header and section table, and checks that the
// image holds the table whole, before anything is written for the module:
// a section count that the image does not back would have the rebuild
// write a header for each of up to 65,535 sections. A header or table that
// lies in no record is left to the rebuild, which reports it as the classic
// tool does.
bool claim_module_headers(Run& run, const ModuleEntry& module, E32Layout layout) {
  Image& image = run.image;
  if (!claim_block(run, module.e32offset, e32_offsets(layout).size, module.name_address)) return false;
  uint8_t head[kE32SectionCount + 2] = {};
  if (locate_address(image, module.e32offset) == 0) return true;
  read_image(image, head, sizeof head);
  const uint32_t table = kO32Size * load_u16(head + kE32SectionCount);
  if (locate_address(image, module.o32offset) == 0) return true;
  if (measure_image(image, module.o32offset, table) != table) {
    report_failure(run, "Unable to read block file\n");
    return false;
  }
  return claim_block(run, module.o32offset, table, module.name_address);
}

int extract_module(Run& run, const ModuleEntry& module, const RebuildSettings& settings) {
  say(run.out, "Extracting %s ...\n", printable(module.name).c_str());
  run.output_directory.prepare();
  run.entry = module.name;
  if (!claim_module_headers(run, module, settings.layout)) return 0;
  OutputFile output;
  if (!open_extracted_file(run, module.name, output)) return 0;
  output.set_time(filetime_of(module));
  // A rebuild that fails on the image has said why; for extract its file
  // stays as far as it got. A failed write is reported here, and its file
  // deleted.
  const int rebuilt = rebuild_executable(run, module, settings, output);
  return finish_extracted_file(run, output, rebuilt == 1) ? rebuilt : 0;
}

}  // namespace

int process_modules(Run& run, int kind, int word_count, const char* const* words) {
  Image& image = run.image;
  if (!load_module_table(image)) {
    run.entry.clear();
    report_failure(run, "Unable to read block file\n");
    return 0;
  }
  // What the image's modules are rebuilt with is decided at its first
  // rebuild, once, from all of its modules, so that every module comes out
  // the same whichever of them the words select.
  std::optional<RebuildSettings> settings;
  ModuleEntry module;
  for (uint32_t index = 0; next_module_entry(image, module); ++index) {
    if (!read_image_string(image, module.name_address, module.name)) {
      run.entry = "module " + std::to_string(index);
      report_failure(run, "Unable to read block file\n");
      if (run.policy.whole_entries_only) continue;
      return 0;
    }
    if (kind == kList) {
      print_module_line(run.out, module);
    } else if (kind == kExtract && is_selected(module.name, word_count, words)) {
      if (!settings) settings = decide_rebuild_settings(image);
      if (!extract_module(run, module, *settings) && !run.policy.whole_entries_only) return 0;
    }
  }
  return 1;
}

}  // namespace xipsaw
