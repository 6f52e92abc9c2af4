#include "modules/module_pass.h"

#include <cstring>
#include <optional>

#include "output/messages.h"
#include "extraction/extraction.h"
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

int extract_module(Run& run, const ModuleEntry& module, const RebuildSettings& settings) {
  say(run.out, "Extracting %s ...\n", printable(module.name).c_str());
  run.output_directory.prepare();
  run.entry = module.name;
  if (!claim_block(run, module.e32offset, module.name_address) ||
      !claim_block(run, module.o32offset, module.name_address))
    return 0;
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
      if (run.policy.goes_on) continue;
      return 0;
    }
    if (kind == kList) {
      print_module_line(run.out, module);
    } else if (kind == kExtract && is_selected(module.name, word_count, words)) {
      if (!settings) settings = decide_rebuild_settings(image);
      if (!extract_module(run, module, *settings) && !run.policy.goes_on) return 0;
    }
  }
  return 1;
}

}  // namespace xipsaw
