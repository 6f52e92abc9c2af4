// The xipsaw executable: the run sequence with the real final wait, and the
// place of the compression library.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#endif
#if defined(__linux__)
#include <unistd.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/native_path.h"
#include "compression/binding.h"
#include "driver/driver.h"

namespace {

// Where the compression library is looked for first. On Windows that is the
// system's own search order, which starts at the executable's directory. On
// Linux it is the first of these that holds the library, relative to the
// executable's real path: its own directory (a build tree, or the library
// copied beside it), then ../lib and ../lib/<multiarch>, then the private
// directory the tool installs it into (../lib/<multiarch>/xipsaw). When none
// does, the system loader's own search decides.
std::string library_directory() {
#if defined(__linux__)
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string executable(path, static_cast<size_t>(n));
  const size_t slash = executable.rfind('/');
  if (slash == std::string::npos) return {};
  const std::string directory = executable.substr(0, slash);
  for (const std::string& candidate : {directory, directory + "/../lib",
#if defined(XIPSAW_LIBRARY_ARCHITECTURE)
                                       directory + "/../lib/" XIPSAW_LIBRARY_ARCHITECTURE,
#endif
                                       directory + "/../" XIPSAW_PRIVATE_LIBDIR}) {
    if (access((candidate + "/" + xipsaw::kCompressionLibraryName).c_str(), F_OK) == 0) return candidate;
  }
  return directory;
#else
  return {};
#endif
}

int run(int argc, const char* const* argv) {
#if !defined(_WIN32)
  // A closed output pipe or a file-size limit must be a failed write that the
  // tool reports, not a signal that kills it before its exit code 0.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
#if defined(__GLIBC__)
  // Buffers of 2 MiB and more (a large file's bytes, the record map while
  // it is built) go back to the system as soon as they are released, so the
  // run's peak memory is what it holds at once. Left to itself, the
  // allocator raises this threshold after the first large release and keeps
  // later large buffers in its heap, where it may hold on to tens of MiB.
  mallopt(M_MMAP_THRESHOLD, 2 << 20);
#endif
  xipsaw::RunOptions options;
  options.out = stdout;
  options.library_dir = library_directory();
  // Scripts that run the tool many times set XIPSAW_NO_WAIT.
  if (!xipsaw::skips_final_wait(std::getenv("XIPSAW_NO_WAIT")))
    options.wait = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  return xipsaw::run_command_line(argc, argv, options);
}

}  // namespace

#if defined(_WIN32)
// The command line as Windows holds it, in UTF-16, so that a path in any
// characters reaches the tool whatever the system's code page; the tool
// takes it as UTF-8 (see common/native_path.h).
int wmain(int argc, wchar_t** wide_argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(xipsaw::path_of_native(wide_argv[i]));
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  return run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
