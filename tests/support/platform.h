// What the tests need from the system, once for POSIX and once for Windows,
// so that the tests themselves stay the same on both.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testkit {

#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// A path of the tool's (UTF-8 on Windows, see common/native_path.h) for
// std::filesystem, which on Windows takes narrow paths in the code page.
inline std::filesystem::path fs_path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// The directory that holds the tests' temporary directories: the system's
// temporary directory on POSIX (or /tmp when its path holds a '.'), the
// build tree on Windows.
std::string scratch_root();

// A program started as a process of its own, with its standard output on a
// pipe. A process still running when the object goes away is killed.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Appends what the process writes to output until output holds `until`
  // (never, when empty) or the process closes its output, for at most 20
  // seconds; true when the output ended. The CR of each line end is
  // removed, as Windows' text mode writes one.
  bool read_until(const std::string& until);
  // Waits for the process to end (wait) or kills it unless it has already
  // ended; its exit code when it ended by itself, else -1.
  int stop(bool wait);

  std::string output;

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

// Runs program and reads its output until it holds `until` (then kills the
// program if it still runs) or ends (then waits for the program's end).
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

// Sets an environment variable of the test process, which the processes it
// starts inherit; the empty value removes it.
void set_environment(const std::string& name, const std::string& value);

// Why a file without write permission may still be opened for writing here,
// or an empty text when it cannot.
std::string read_only_not_enforced();

}  // namespace testkit
