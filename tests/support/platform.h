// What the tests need from the system, once for POSIX and once for Windows,
// so that the tests themselves stay the same on both.
#pragma once

#include <string>
#include <vector>

namespace testkit {

#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// The directory that holds the tests' temporary directories: the system's
// temporary directory on POSIX (or /tmp when its path holds a '.'), the
// build tree on Windows.
std::string scratch_root();

// A program run as a process of its own with its standard output on a pipe.
// The output is read until it holds `until` (the process may still run and
// is then killed) or until it ends (the process is then waited for). CRs of
// line ends are removed, as Windows' text mode writes them.
struct ProcessRun {
  std::string output;
  bool exited = false;  // the process ended by itself
  int exit_code = -1;   // when it did
};
ProcessRun run_program(const std::string& program, const std::vector<std::string>& args, const std::string& until);

// Why a test cannot run the Linux program at path here, or an empty text
// when it can: the Windows build runs no Linux programs.
std::string linux_program_missing(const std::string& path);
// Skips the current test, with the reason, when it cannot run that program.
#define SKIP_WITHOUT_LINUX_PROGRAM(path) \
  if (const std::string why = testkit::linux_program_missing(path); !why.empty()) GTEST_SKIP() << why

// Why a file without write permission may still be opened for writing here,
// or an empty text when it cannot.
std::string read_only_not_enforced();

}  // namespace testkit
