#include "driver/driver.h"

#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "common/file_status.h"
#include "common/native_path.h"
#include "common/words.h"
#include "convert/convert.h"
#include "images/each_image.h"
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

std::string output_directory_name(const std::string& bin_argument) {
  std::string name = bin_argument.substr(0, bin_argument.find('.'));
  if (name == bin_argument) name += "-";
  return name;
}

namespace {

// Whether a journal left by an interrupted update waits for the file, which
// may then be half updated; says so when it does.
bool journal_pending(Run& run, const char* program, const std::string& journal) {
  if (path_kind(journal) == PathKind::missing) return false;
  say(run.out, "The journal %s of an interrupted update is pending; \"%s %s list\" plays it back\n",
      shown(journal).c_str(), shown(program).c_str(), shown(run.bin_path).c_str());
  return true;
}

// What a command's handler is given.
struct Invocation {
  Run& run;
  const char* program;
  const std::string& journal;
  int word_count;
  const char* const* words;
  const RunOptions& options;
};

// verify: every image of the file checked, then the summary line.
int verify(Invocation& call) {
  Run& run = call.run;
  const char* program = call.program;
  const std::string& journal = call.journal;
  VerifyTotals totals;
  if (journal_pending(run, program, journal)) ++totals.problems;
  // A BIN file whose image does not open (one cut short, say) still has its
  // container checked, and the message why it does not open is one more
  // problem; only a file in which nothing is an image is status 2.
  const auto container = [&] { verify_container(run, totals); };
  if (for_each_image(run, [&] { verify_image(run, totals); }, container) == 0) {
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

// list, extract and update: the passes over every image. Their words name
// entries, whose names the image holds as bytes in the system's code page;
// but update's second word, or its only one, also names the file that holds
// the new content, which stays a path, and update gets it as its second
// word.
int run_passes(Invocation& call, int kind) {
  Run& run = call.run;
  std::vector<std::string> entries;
  for (int i = 0; i < call.word_count; ++i)
    entries.push_back(kind == kUpdate && i > 0 ? std::string(call.words[i]) : image_name_of_argument(call.words[i]));
  if (kind == kUpdate && call.word_count == 1) entries.push_back(call.words[0]);
  std::vector<const char*> words;
  for (const std::string& entry : entries) words.push_back(entry.c_str());
  const int count = static_cast<int>(words.size());
  if (for_each_image(run, [&] {
        process_modules(run, kind, count, words.data());
        process_files(run, kind, count, words.data());
      }) == 0)
    return 0;
  if (kind == kUpdate && run.several_images && run.update.missing && !run.update.found)
    say(run.out, "Unable to find %s on BIN\n", printable(entries[0]).c_str());
  // Whoever reads the output through a pipe sees it now, not after the wait.
  std::fflush(run.out);
  if (call.options.wait) call.options.wait(kFinalWaitMilliseconds);
  return 0;
}

// How a command has the BIN file.
enum class Access {
  // Opened for writing; a journal that an interrupted update left is played
  // back before anything reads the file.
  updates,
  // Opened for reading only, so that a read-only file or medium will do; a
  // pending journal stays as it is.
  reads,
  // As reads, but refused while a journal is pending: what the command
  // writes from a half-updated file would be wrong.
  reads_settled,
};

bool any_words(int, const char* const*) { return true; }
Access updates(int) { return Access::updates; }
Access reads(int) { return Access::reads; }
Access reads_settled(int) { return Access::reads_settled; }

struct Command {
  const char* name;
  const char* help = nullptr;  // its lines in the help text; the classic commands' are the usage text
  // The classic commands always exit 0 (and wait at the end of their
  // passes); the others never wait, and tell by their exit status how the
  // file fared.
  bool classic = false;
  bool loads_codec = false;
  int cannot_finish = 0;  // exit status when the run cannot go through (no codec, an escaped failure)
  bool (*takes)(int word_count, const char* const* words) = any_words;
  Access (*access)(int word_count) = reads;
  int (*handler)(Invocation& call) = nullptr;
};

constexpr Command kCommands[] = {
    {.name = "list", .classic = true, .access = updates, .handler = [](Invocation& c) { return run_passes(c, kList); }},
    {.name = "extract",
     .classic = true,
     .loads_codec = true,
     .access = updates,
     .handler = [](Invocation& c) { return run_passes(c, kExtract); }},
    {.name = "update",
     .classic = true,
     .loads_codec = true,
     .takes = [](int n, const char* const*) { return n >= 1; },
     .access = updates,
     .handler = [](Invocation& c) { return run_passes(c, kUpdate); }},
    {.name = "verify",
     .help = "  verify                  - check every image, changing nothing\n",
     .loads_codec = true,
     .cannot_finish = kNoImage,
     .handler = verify},
    {.name = "info",
     .help = "  info                    - describe every image\n",
     .cannot_finish = kNoImage,
     .handler = [](Invocation& c) {
       return for_each_image(c.run, [&] { describe_image(c.run); }) == 0 ? kNoImage : kSound;
     }},
    {.name = "unpack",
     .help = "  unpack [DIR]            - extract all, modules at their run addresses\n",
     .loads_codec = true,
     .cannot_finish = kProblems,
     .takes = [](int n, const char* const*) { return n <= 1; },
     .access = reads_settled,
     .handler = [](Invocation& c) { return unpack(c.run, c.word_count, c.words); }},
    {.name = "convert",
     .help = "  convert raw OUT [START [SIZE]] - write the image as a raw image\n"
             "  convert bin OUT         - write the image as a BIN file\n",
     .cannot_finish = kProblems,
     .takes = convert_takes,
     .access = reads_settled,
     .handler = [](Invocation& c) { return convert(c.run, c.word_count, c.words); }},
    {.name = "registry",
     .help = "  registry                - list the registry files of every image\n"
             "  registry NAME           - print the registry file NAME as .reg text\n"
             "  registry NAME import CHANGES.reg - apply a .reg file to the hive NAME\n",
     .loads_codec = true,
     .cannot_finish = kProblems,
     .takes = registry_takes,
     .access = [](int n) { return registry_imports(n) ? Access::updates : Access::reads_settled; },
     .handler = [](Invocation& c) { return registry(c.run, c.word_count, c.words); }},
    {.name = "symbols",
     .help = "  symbols                 - list every module's exports at their run addresses\n",
     .loads_codec = true,
     .cannot_finish = kNoImage,
     .handler = [](Invocation& c) {
       return for_each_image(c.run, [&] { print_symbols(c.run); }) == 0 ? kNoImage : kSound;
     }},
};

const Command* find_command(const char* word) {
  for (const Command& command : kCommands)
    if (equal_ignoring_ascii_case(word, command.name)) return &command;
  return nullptr;
}

// Plays back a journal that an interrupted update left; false when it
// cannot be.
bool play_back(Run& run, const std::string& journal) {
  switch (play_back_journal(run.stream, journal)) {
    case Playback::none:
      return true;
    case Playback::restored:
      say(run.out, "Restored %s from the journal of an interrupted update\n", shown(run.bin_path).c_str());
      return true;
    case Playback::discarded:
      say(run.out, "Removed the incomplete journal of an interrupted update; %s was not changed\n",
          shown(run.bin_path).c_str());
      return true;
    case Playback::failed:
      say(run.out, "Unable to play back the journal %s of an interrupted update\n", shown(journal).c_str());
      return false;
  }
  return false;
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
  const Command* command = find_command(argv[2]);
  const int word_count = argc - 3;
  const char* const* words = argv + 3;
  if (command == nullptr || !command->takes(word_count, words)) {
    print_usage(out, program);
    return command != nullptr && !command->classic ? kProblems : 0;
  }
  const int failed = command->classic ? 0 : kProblems;
  const Access access = command->access(word_count);
  const bool writes = access == Access::updates;

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
    return command->classic ? 0 : kNoImage;
  }
  run.output_directory.protect(run.stream.descriptor(), journal);
  if (access == Access::reads_settled && journal_pending(run, program, journal)) return kProblems;
  if (writes && !play_back(run, journal)) return failed;
  if (command->loads_codec && !run.codec.load(options.library_dir)) {
    say(out, "?Can't load Compression library\n");
    return command->cannot_finish;
  }
  Invocation call{run, program, journal, word_count, words, options};
  return command->handler(call);
}

}  // namespace

void print_help(std::FILE* out, const char* program) {
  print_usage(out, program);
  for (const Command& command : kCommands)
    if (command.help != nullptr) say(out, "%s", command.help);
}

const char* command_name(const char* word) {
  const Command* command = find_command(word);
  return command != nullptr ? command->name : nullptr;
}

int run_command_line(int argc, const char* const* argv, const RunOptions& options) {
  // Nothing the tool meets may end a classic command's run other than with
  // exit code 0: a failure that escapes the passes is one line of output.
  // verify, info and symbols then say that the file could not be read
  // through; unpack, convert and registry that they could not write all of
  // it.
  try {
    return run_sequence(argc, argv, options);
  } catch (const std::bad_alloc&) {
    say(options.out, "Not enough memory\n");
  } catch (const std::exception& e) {
    say(options.out, "Unexpected failure: %s\n", e.what());
  }
  std::fflush(options.out);
  const Command* command = argc > 2 ? find_command(argv[2]) : nullptr;
  return command != nullptr ? command->cannot_finish : 0;
}

}  // namespace xipsaw
