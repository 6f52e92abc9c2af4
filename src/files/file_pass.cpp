#include "files/file_pass.h"

#include "common/output.h"
#include "common/output_path.h"
#include "files/file_update.h"
#include "modules/module_pass.h"

namespace xipsaw {

namespace {

constexpr uint32_t kCompressedFile = 0x800;

void print_file_line(std::FILE* out, const FileEntry& f) {
  say(out, "%c%c%c%c%10d%10d%22s (ROM 0x%08x)\n", (f.attributes & kCompressedFile) ? 'C' : '_',
      (f.attributes & 0x4) ? 'H' : '_', (f.attributes & 0x2) ? 'R' : '_', (f.attributes & 0x1) ? 'S' : '_',
      static_cast<int32_t>(f.real_size), static_cast<int32_t>(f.stored_size), f.name.c_str(), f.load_offset);
}

// An empty buffer may have no storage at all, which fwrite must not be given.
void write_bytes(std::FILE* output, const std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), output);
}

// Writes one file into the output directory. False when the pass must end.
bool extract_file(Run& run, const FileEntry& file) {
  say(run.out, "Extracting %s ...\n", file.name.c_str());
  make_output_directory(run.output_directory);
  const std::string path = output_path(run.output_directory, file.name);
  if (locate_address(run.image, file.load_offset) == 0) {
    say(run.out, "Unable to read block file\n");
    return false;
  }
  std::FILE* output = open_output_file(path, file.name, run.bin_path);
  if (output == nullptr) {
    say(run.out, "Unable to open %s\n", path.c_str());
    return false;
  }
  // The stored bytes the image really holds, however large stored_size is.
  const std::vector<uint8_t> stored = read_image_bytes(run.image, file.stored_size);
  if (file.attributes & kCompressedFile) {
    std::vector<uint8_t> expanded;
    if (expand_stored_bytes(run.codec, stored, file.real_size, expanded) < 0)
      say(run.out, "Error in CEDecompress()\n");
    else
      write_bytes(output, expanded);
  } else {
    write_bytes(output, stored);
  }
  std::fclose(output);
  return true;
}

}  // namespace

int process_files(Run& run, int kind, int word_count, const char* const* words) {
  Image& image = run.image;
  if (!load_file_table(image)) {
    say(run.out, "Unable to read block file\n");
    return 0;
  }
  bool found = false;
  for (uint32_t index = 0; index < image.file_table.size(); ++index) {
    FileEntry& file = image.file_table[index];
    if (!read_image_string(image, file.name_address, file.name)) {
      say(run.out, "Unable to read block file\n");
      return 0;
    }
    if (kind == kList) {
      print_file_line(run.out, file);
    } else if (kind == kExtract) {
      if (is_selected(file.name, word_count, words) && !extract_file(run, file)) return 0;
    } else if (kind == kUpdate) {
      if (update_file(run, index, word_count, words, found) == UpdateStep::end_pass) return 0;
    }
  }
  if (kind == kUpdate && !found) {
    say(run.out, "Unable to find %s on BIN\n", words[0]);
    return 0;
  }
  return 1;
}

}  // namespace xipsaw
