#include "files/file_pass.h"

#include "output/messages.h"
#include "extraction/block_claims.h"
#include "extraction/extracted_file.h"
#include "extraction/failure_report.h"
#include "extraction/stored_data.h"
#include "files/file_update.h"
#include "modules/module_pass.h"

namespace xipsaw {

namespace {

void print_file_line(std::FILE* out, const FileEntry& f) {
  say(out, "%c%c%c%c%10d%10d%22s (ROM 0x%08x)\n", (f.attributes & kCompressedFile) ? 'C' : '_',
      (f.attributes & 0x4) ? 'H' : '_', (f.attributes & 0x2) ? 'R' : '_', (f.attributes & 0x1) ? 'S' : '_',
      static_cast<int32_t>(f.real_size), static_cast<int32_t>(f.stored_size), printable(f.name).c_str(),
      f.load_offset);
}

// Writes one file into the output directory. False when extract's pass
// must end, or unpack could not write the file whole.
bool extract_file(Run& run, const FileEntry& file) {
  say(run.out, "Extracting %s ...\n", printable(file.name).c_str());
  run.output_directory.prepare();
  run.entry = file.name;
  if (file.stored_size != 0 && !claim_block(run, file.load_offset, file.stored_size, file.name_address)) return false;
  // unpack writes a file whole or not at all; extract writes what the
  // image holds of it.
  if (locate_address(run.image, file.load_offset) == 0 ||
      (run.policy.whole_entries_only && measure_image(run.image, file.load_offset, file.stored_size) != file.stored_size)) {
    report_failure(run, "Unable to read block file\n");
    return false;
  }
  OutputFile output;
  if (!open_extracted_file(run, file.name, output)) return false;
  output.set_time(filetime_of(file));
  uint32_t written = 0;
  const bool expanded = write_stored_data(run, output, file.stored_size, file.real_size,
                                          (file.attributes & kCompressedFile) != 0, written);
  return finish_extracted_file(run, output, expanded);
}

}  // namespace

namespace {

// "Unable to find", at once with one image, after the last with several.
int report_missing(Run& run, const char* name) {
  run.update.missing = true;
  if (!run.several_images) say(run.out, "Unable to find %s on BIN\n", printable(name).c_str());
  return 0;
}

}  // namespace

int process_files(Run& run, int kind, int word_count, const char* const* words) {
  Image& image = run.image;
  if (!load_file_table(image)) {
    // For unpack an empty table needs no address, as an empty section
    // needs none: boot loaders without files point theirs at nothing.
    if (run.policy.whole_entries_only && image.rom_header.file_count() == 0) return 1;
    run.entry.clear();
    report_failure(run, "Unable to read block file\n");
    return 0;
  }
  bool found = false;
  FileEntry file;
  for (uint32_t index = 0; next_file_entry(image, file); ++index) {
    if (!read_image_string(image, file.name_address, file.name)) {
      run.entry = "file " + std::to_string(index);
      report_failure(run, "Unable to read block file\n");
      if (run.policy.whole_entries_only) continue;
      return 0;
    }
    if (kind == kList) {
      print_file_line(run.out, file);
    } else if (kind == kExtract) {
      if (is_selected(file.name, word_count, words) && !extract_file(run, file) && !run.policy.whole_entries_only) return 0;
    } else if (kind == kUpdate) {
      if (update_file(run, file, index, word_count, words, found) == UpdateStep::end_pass) return 0;
    }
  }
  run.update.found = run.update.found || found;
  if (kind == kUpdate && !found) return report_missing(run, words[0]);
  return 1;
}

}  // namespace xipsaw
