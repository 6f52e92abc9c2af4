// The xipsaw executable: the run sequence with the real final wait, looking
// for the compression library beside the executable first.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <csignal>
#endif
#if defined(__linux__)
#include <unistd.h>
#endif

#include "driver/driver.h"

namespace {

std::string executable_directory() {
#if defined(__linux__)
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string p(path, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
#else
  return {};
#endif
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // A closed output pipe or a file-size limit must be a failed write that the
  // tool reports, not a signal that kills it before its exit code 0.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  xipsaw::RunOptions options;
  options.out = stdout;
  options.library_dir = executable_directory();
  options.wait = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  return xipsaw::run_command_line(argc, argv, options);
}
