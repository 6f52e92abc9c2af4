#include "driver/driver.h"

#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "common/file_status.h"
#include "common/native_path.h"
#include "common/words.h"
#include "convert/convert.h"
#include "driver/images.h"
#include "files/file_pass.h"
#include "image/journal.h"
#include "info/info.h"
#include "modules/module_pass.h"
#include "output/messages.h"
#include "registry/registry_command.h"
#include "run/run.h"
#include "symbols/symbols.h"
#include "unpack/unpack.h"
#include "verify/verify.h"

namespace xipsaw {

void print_usage(std::FILE* out, const char* program) {
  say(out, "Xipsaw 1.2g by xipsaw (ported by quorvex)\n\n");
  say(out, "%s <filename> <command>\n", shown(program).c_str());
  say(out, "Valid commands are:\n");
  say(out, "  list                    - lists contents\n");
  say(out, "  extract [files...]      - extract all/specified files\n");
  say(out, "  update outfile [infile] - update specified files\n");
}

void print_help(std::FILE* out, const char* program) {
  print_usage(out, program);
  say(out, "  verify                  - check every image, changing nothing\n");
  say(out, "  info                    - describe every image\n");
  say(out, "  unpack [DIR]            - extract all, modules at their run addresses\n");
  say(out, "  convert raw OUT [START [SIZE]] - write the image as a raw image\n");
  say(out, "  convert bin OUT         - write the image as a BIN file\n");
  say(out, "  registry                - list the registry files of every image\n");
  say(out, "  registry NAME           - print the registry file NAME as .reg text\n");
  say(out, "  registry NAME import CHANGES.reg - apply a .reg file to the hive NAME\n");
  say(out, "  symbols                 - list every module's exports at their run addresses\n");
}

int command_kind(const char* word) {
  if (equal_ignoring_ascii_case(word, "list")) return kList;
  if (equal_ignoring_ascii_case(word, "extract")) return kExtract;
  if (equal_ignoring_ascii_case(word, "update")) return kUpdate;
  if (equal_ignoring_ascii_case(word, "verify")) return kVerify;
  if (equal_ignoring_ascii_case(word, "info")) return kInfo;
  if (equal_ignoring_ascii_case(word, "unpack")) return kUnpack;
  if (equal_ignoring_ascii_case(word, "convert")) return kConvert;
  if (equal_ignoring_ascii_case(word, "registry")) return kRegistry;
  if (equal_ignoring_ascii_case(word, "symbols")) return kSymbols;
  return 0;
}

std::string output_directory_name(const std::string& bin_argument) {
  std::string name = bin_argument.substr(0, bin_argument.find('.'));
  if (name == bin_argument) name += "-";
  return name;
}

namespace {

void run_passes(Run& run, int kind, int word_count, const char* const* words) {
  process_modules(run, kind, word_count, words);
  process_files(run, kind, word_count, words);
}

// The words of a classic command as its passes take them. They name entries,
// whose names the image holds as bytes in the system's code page; but
// update's second word, or its only one, also names the file that holds the
// new content, which stays a path, and update gets it as its second word.
std::vector<std::string> entry_words(int kind, int word_count, const char* const* words) {
  std::vector<std::string> converted;
  for (int i = 0; i < word_count; ++i)
    converted.push_back(kind == kUpdate && i > 0 ? std::string(words[i]) : image_name_of_argument(words[i]));
  if (kind == kUpdate && word_count == 1) converted.push_back(words[0]);
  return converted;
}

// Exit statuses of the modern commands.
constexpr int kSound = 0;
constexpr int kProblems = 1;
constexpr int kNoImage = 2;

// Whether a journal left by an interrupted update waits for the file, which
// may then be half updated; says so when it does.
bool journal_pending(Run& run, const char* program, const std::string& journal) {
  if (path_kind(journal) == PathKind::missing) return false;
  say(run.out, "The journal %s of an interrupted update is pending; \"%s %s list\" plays it back\n",
      shown(journal).c_str(), shown(program).c_str(), shown(run.bin_path).c_str());
  return true;
}

// verify: every image of the file checked, then the summary line.
int verify(Run& run, const char* program, const std::string& journal) {
  VerifyTotals totals;
  if (journal_pending(run, program, journal)) ++totals.problems;
  // A BIN file whose image does not open (one cut short, say) still has its
  // records checked, and the message why it does not open is one more
  // problem; only a file in which nothing is an image is status 2.
  const auto records = [&] { verify_records(run, totals); };
  if (for_each_image(run, [&] { verify_image(run, totals); }, records) == 0) {
    if (!is_bin_file(run.stream)) return kNoImage;
    ++totals.problems;
  }
  if (totals.unprinted != 0)
    say(run.out, "... and %llu more problems\n", static_cast<unsigned long long>(totals.unprinted));
  say(run.out, "%u images, %u records, %u modules, %u files", totals.images, totals.records, totals.modules,
      totals.files);
  if (totals.problems == 0) {
    say(run.out, ": no problems\n");
    return kSound;
  }
  say(run.out, ": %llu problems\n", static_cast<unsigned long long>(totals.problems));
  return kProblems;
}

// Whether the words after a command word are as many as it takes.
bool takes_words(int kind, int word_count, const char* const* words) {
  switch (kind) {
    case kUpdate: return word_count >= 1;
    case kUnpack: return word_count <= 1;
    case kConvert: return convert_takes(word_count, words);
    case kRegistry: return registry_takes(word_count, words);
    default: return true;
  }
}

int run_sequence(int argc, const char* const* argv, const RunOptions& options) {
  std::FILE* out = options.out;
  const char* program = argc > 0 ? argv[0] : "xipsaw";
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    print_help(out, program);
    return 0;
  }
  if (argc <= 2) {
    print_usage(out, program);
    return 0;
  }
  const int kind = command_kind(argv[2]);
  const int word_count = argc - 3;
  const char* const* words = argv + 3;
  // The modern commands only read the file: a read-only file or medium will
  // do, a journal left by an interrupted update stays as it is, and the exit
  // status tells how the file fared. registry's import writes the file as
  // update does, after playing back such a journal.
  const bool modern = kind >= kVerify;
  const bool writes = !modern || (kind == kRegistry && registry_imports(word_count));
  if (kind == 0 || !takes_words(kind, word_count, words)) {
    print_usage(out, program);
    return modern ? kProblems : 0;
  }

  Run run;
  run.out = out;
  run.bin_path = argv[1];
  run.output_directory.set_name(output_directory_name(run.bin_path));
  const std::string journal = journal_path(run.bin_path);
  if (!run.stream.open(argv[1], !writes)) {
    say(out, "Unable to open BIN file\n");
    if (writes && path_kind(journal) != PathKind::missing)
      say(out, "The journal %s of an interrupted update waits until the BIN file can be written\n",
          shown(journal).c_str());
    return modern ? kNoImage : 0;
  }
  run.output_directory.protect(run.stream.descriptor(), journal);
  // What unpack, convert and registry write from a half-updated file would
  // be wrong.
  if ((kind == kUnpack || kind == kConvert || kind == kRegistry) && !writes && journal_pending(run, program, journal))
    return kProblems;
  if (writes) {
    // An update that a kill or a power cut interrupted is undone before
    // anything else reads the BIN file.
    switch (play_back_journal(run.stream, journal)) {
      case Playback::none:
        break;
      case Playback::restored:
        say(out, "Restored %s from the journal of an interrupted update\n", shown(run.bin_path).c_str());
        break;
      case Playback::discarded:
        say(out, "Removed the incomplete journal of an interrupted update; %s was not changed\n",
            shown(run.bin_path).c_str());
        break;
      case Playback::failed:
        say(out, "Unable to play back the journal %s of an interrupted update\n", shown(journal).c_str());
        return modern ? kProblems : 0;
    }
  }
  if ((kind == kExtract || kind == kUpdate || kind == kVerify || kind == kUnpack || kind == kRegistry ||
       kind == kSymbols) &&
      !run.codec.load(options.library_dir)) {
    say(out, "?Can't load Compression library\n");
    return kind == kUnpack || kind == kRegistry ? kProblems : modern ? kNoImage : 0;
  }
  if (kind == kVerify) return verify(run, program, journal);
  if (kind == kInfo) return for_each_image(run, [&] { describe_image(run); }) == 0 ? kNoImage : kSound;
  if (kind == kSymbols) return for_each_image(run, [&] { print_symbols(run); }) == 0 ? kNoImage : kSound;
  if (kind == kUnpack) return unpack(run, word_count, words);
  if (kind == kConvert) return convert(run, word_count, words);
  if (kind == kRegistry) return registry(run, word_count, words);

  const std::vector<std::string> entries = entry_words(kind, word_count, words);
  std::vector<const char*> entry_pointers;
  for (const std::string& entry : entries) entry_pointers.push_back(entry.c_str());
  const int entry_count = static_cast<int>(entry_pointers.size());
  if (for_each_image(run, [&] { run_passes(run, kind, entry_count, entry_pointers.data()); }) == 0) return 0;
  if (kind == kUpdate && run.several_images && run.update.missing && !run.update.found)
    say(out, "Unable to find %s on BIN\n", printable(entries[0]).c_str());

  // Whoever reads the output through a pipe sees it now, not after the wait.
  std::fflush(out);
  if (options.wait) options.wait(kFinalWaitMilliseconds);
  return 0;
}

}  // namespace

int run_command_line(int argc, const char* const* argv, const RunOptions& options) {
  // Nothing the tool meets may end a classic command's run other than with
  // exit code 0: a failure that escapes the passes is one line of output.
  // verify and info then say that the file could not be read through.
  try {
    return run_sequence(argc, argv, options);
  } catch (const std::bad_alloc&) {
    say(options.out, "Not enough memory\n");
  } catch (const std::exception& e) {
    say(options.out, "Unexpected failure: %s\n", e.what());
  }
  std::fflush(options.out);
  // verify and info could not read the file through; unpack and convert
  // could not write all of it.
  const int kind = argc > 2 ? command_kind(argv[2]) : 0;
  return kind == kVerify || kind == kInfo || kind == kSymbols ? kNoImage : kind >= kUnpack ? kProblems : 0;
}

}  // namespace xipsaw
