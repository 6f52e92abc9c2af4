// Fuzz target for whole runs: the input is a BIN file, on which the tool
// runs list, extract or update (chosen by the input's length) into a scratch
// directory of the process's own.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "driver/driver.h"

namespace {

const std::string& scratch() {
  static const std::string dir = [] {
    // In memory where the system offers it: every update unit flushes to
    // the disk.
    const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string d = base + "/xipsaw-fuzz-" + std::to_string(getpid());
    std::filesystem::create_directories(d);
    std::FILE* f = std::fopen((d + "/new").c_str(), "wb");
    std::fputs("replacement content for the update", f);
    std::fclose(f);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bin = scratch() + "/nk.bin";
  std::FILE* f = std::fopen(bin.c_str(), "wb");
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::error_code ignored;
  std::filesystem::remove_all(scratch() + "/nk", ignored);

  std::string commands[3][4] = {{"list"}, {"extract"}, {"update", "a", scratch() + "/new"}};
  const auto& words = commands[size % 3];
  std::vector<const char*> argv{"xipsaw", bin.c_str()};
  for (const std::string& w : words)
    if (!w.empty()) argv.push_back(w.c_str());
  static std::FILE* sink = std::fopen("/dev/null", "w");
  xipsaw::RunOptions options;
  options.out = sink;
  options.library_dir = XIPSAW_CODEC_DIR;
  xipsaw::run_command_line(static_cast<int>(argv.size()), argv.data(), options);
  return 0;
}
