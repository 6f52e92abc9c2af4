#include "driver/driver.h"

#include <cstring>
#include <exception>
#include <new>

#include "common/file_status.h"
#include "output/messages.h"
#include "run/run.h"
#include "files/file_pass.h"
#include "image/journal.h"
#include "modules/module_pass.h"
#include "search/image_search.h"

namespace xipsaw {

void print_usage(std::FILE* out, const char* program) {
  say(out, "Xipsaw 1.2g by xipsaw (ported by quorvex)\n\n");
  say(out, "%s <filename> <command>\n", program);
  say(out, "Valid commands are:\n");
  say(out, "  list                    - lists contents\n");
  say(out, "  extract [files...]      - extract all/specified files\n");
  say(out, "  update outfile [infile] - update specified files\n");
}

namespace {

bool equal_ignoring_ascii_case(const char* a, const char* b) {
  auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; };
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (fold(static_cast<unsigned char>(*a)) != fold(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

}  // namespace

int command_kind(const char* word) {
  if (equal_ignoring_ascii_case(word, "list")) return kList;
  if (equal_ignoring_ascii_case(word, "extract")) return kExtract;
  if (equal_ignoring_ascii_case(word, "update")) return kUpdate;
  return 0;
}

std::string output_directory_name(const std::string& bin_argument) {
  std::string name = bin_argument.substr(0, bin_argument.find('.'));
  if (name == bin_argument) name += "-";
  return name;
}

namespace {

// Whether the file begins with the container's signature.
bool is_bin_file(BinStream& stream) {
  char signature[7] = {};
  stream.seek(0);
  const bool bin = stream.read(signature, sizeof signature) == sizeof signature &&
                   std::memcmp(signature, kBinSignature, sizeof signature) == 0;
  stream.seek(0);
  return bin;
}

void run_passes(Run& run, int kind, int word_count, const char* const* words) {
  process_modules(run, kind, word_count, words);
  process_files(run, kind, word_count, words);
}

int run_sequence(int argc, const char* const* argv, const RunOptions& options) {
  std::FILE* out = options.out;
  const char* program = argc > 0 ? argv[0] : "xipsaw";
  if (argc <= 2) {
    print_usage(out, program);
    return 0;
  }
  int kind = command_kind(argv[2]);
  if (kind == 0 || (kind == kUpdate && argc < 4)) {
    print_usage(out, program);
    return 0;
  }

  Run run;
  run.out = out;
  run.bin_path = argv[1];
  run.output_directory.set_name(output_directory_name(run.bin_path));
  // An update that a kill or a power cut interrupted is undone before
  // anything else reads the BIN file.
  const std::string journal = journal_path(run.bin_path);
  if (!run.stream.open(argv[1])) {
    say(out, "Unable to open BIN file\n");
    if (path_kind(journal) != PathKind::missing)
      say(out, "The journal %s of an interrupted update waits until the BIN file can be written\n", journal.c_str());
    return 0;
  }
  run.output_directory.protect(run.stream.descriptor(), journal);
  switch (play_back_journal(run.stream, journal)) {
    case Playback::none:
      break;
    case Playback::restored:
      say(out, "Restored %s from the journal of an interrupted update\n", run.bin_path.c_str());
      break;
    case Playback::discarded:
      say(out, "Removed the incomplete journal of an interrupted update; %s was not changed\n",
          run.bin_path.c_str());
      break;
    case Playback::failed:
      say(out, "Unable to play back the journal %s of an interrupted update\n", journal.c_str());
      return 0;
  }
  if ((kind == kExtract || kind == kUpdate) && !run.codec.load(options.library_dir)) {
    say(out, "?Can't load Compression library\n");
    return 0;
  }

  const int word_count = argc - 3;
  const char* const* words = argv + 3;
  if (is_bin_file(run.stream)) {
    // A BIN file is the one container it begins with.
    if (!read_bin_header(run.image)) {
      say(out, "Invalid XIP file\n");
      return 0;
    }
    if (!read_ecec_header(run.image)) {
      say(out, "Invalid ECEC header\n");
      return 0;
    }
    if (!read_rom_header(run.image)) {
      say(out, "Invalid ROM header\n");
      return 0;
    }
    run_passes(run, kind, word_count, words);
  } else {
    // Any other file is searched for the images it holds; with one, the run
    // is as on a BIN file, with several each comes after a line that says
    // where it lies, and extracts into a subdirectory named so.
    const ImageSearch search = find_images(run.stream);
    if (search.images.empty()) {
      say(out, search.unreadable ? "Unable to read BIN file\n" : "Invalid XIP file\n");
      return 0;
    }
    run.update.several_images = search.images.size() > 1;
    for (const FoundImage& found : search.images) {
      if (run.update.several_images) {
        const std::string offset = offset_name(found.offset);
        say(out, "Image at offset %s\n", offset.c_str());
        run.output_directory.set_subdirectory(offset);
      }
      run.image = Image(run.stream);
      run.section_names = {};
      if (open_found_image(run.image, found)) run_passes(run, kind, word_count, words);
    }
    if (search.more)
      say(out, "More than %zu images in the file: only the first %zu were read\n", search.images.size(),
          search.images.size());
    if (search.unreadable) say(out, "Unable to read BIN file\n");
    if (kind == kUpdate && run.update.several_images && run.update.missing && !run.update.found)
      say(out, "Unable to find %s on BIN\n", printable(words[0]).c_str());
  }

  // Whoever reads the output through a pipe sees it now, not after the wait.
  std::fflush(out);
  if (options.wait) options.wait(kFinalWaitMilliseconds);
  return 0;
}

}  // namespace

int run_command_line(int argc, const char* const* argv, const RunOptions& options) {
  // Nothing the tool meets may end a run other than with exit code 0: a
  // failure that escapes the passes is one line of output.
  try {
    return run_sequence(argc, argv, options);
  } catch (const std::bad_alloc&) {
    say(options.out, "Not enough memory\n");
  } catch (const std::exception& e) {
    say(options.out, "Unexpected failure: %s\n", e.what());
  }
  std::fflush(options.out);
  return 0;
}

}  // namespace xipsaw
