// The command line and the run sequence.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace xipsaw {

struct RunOptions {
  std::FILE* out = stdout;
  std::string library_dir;                      // looked in first for the compression library
  std::function<void(unsigned)> wait;           // the final wait, in milliseconds
};

inline constexpr unsigned kFinalWaitMilliseconds = 30000;

// Whether a value of the environment variable XIPSAW_NO_WAIT asks to skip
// the final wait: any value but none, the empty text and "0".
inline bool skips_final_wait(const char* value) {
  return value != nullptr && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
}

void print_usage(std::FILE* out, const char* program);
// The usage text, then a line for each command beyond the classic ones.
void print_help(std::FILE* out, const char* program);

// The name of the command a word selects, or nullptr: list, extract,
// update, and the commands beyond the classic ones. ASCII letters match
// without regard to case; every other byte must match exactly.
const char* command_name(const char* word);

// The output directory for a BIN file argument: the argument up to its first
// '.', followed by "-" when it has no '.'.
std::string output_directory_name(const std::string& bin_argument);

// Runs the tool on a command line and returns its exit status: 0 for the
// classic commands; for verify 0 (no problem), 1 (problems) or 2 (no image
// opens), for info and symbols 0 or 2, for unpack and convert 0 (all
// written), 1 (not all) or 2 (no image opens), for registry 0, 1 (a
// registry file does not read, the name is missing, an import is refused)
// or 2 (no image opens).
int run_command_line(int argc, const char* const* argv, const RunOptions& options);

}  // namespace xipsaw
