// Fuzz target for whole runs. The input's first byte chooses how the rest
// becomes the file: as it is (a BIN file or a raw image), behind a vendor
// header of 256 to 340 bytes (so that a container lies at an offset), or as
// a flash dump holding it three times, 64 KiB apart or more, the gaps zero.
// The tool runs list, extract, update, unpack, convert (to a raw image or a
// BIN file), verify, info or symbols on the file, chosen by the length of
// the rest, into a scratch directory of the process's own. What a run writes
// (its output and the files below the scratch directory) must stay within
// 200 times the file's size plus 1 MiB, as no image holds more: a run that
// writes more aborts, so that the fuzzer reports the input.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

// The file that the input stands for.
std::vector<uint8_t> file_of(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  const uint8_t choice = data[0];
  std::vector<uint8_t> rest(data + 1, data + size);
  switch (choice % 3) {
    case 0:
      return rest;
    case 1: {
      const char kText[] = "FLASH IMAGE v2";
      std::vector<uint8_t> file(256 + choice / 3, 0xFF);
      std::copy(kText, kText + sizeof kText, file.begin());
      file.insert(file.end(), rest.begin(), rest.end());
      return file;
    }
    default: {
      const size_t stride = std::max<size_t>(0x10000, (rest.size() + 0xFFFF) & ~size_t{0xFFFF});
      std::vector<uint8_t> file(2 * stride + rest.size(), 0);
      for (size_t at = 0; at < file.size(); at += stride) std::copy(rest.begin(), rest.end(), file.begin() + at);
      return file;
    }
  }
}

// The bytes of the files below the scratch directory, but the BIN file and
// the update's new content.
uintmax_t bytes_written() {
  uintmax_t total = 0;
  std::error_code error;
  for (auto entry = std::filesystem::recursive_directory_iterator(scratch(), error);
       !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
    const std::string path = entry->path().string();
    if (entry->is_regular_file(error) && path != scratch() + "/nk.bin" && path != scratch() + "/new")
      total += entry->file_size(error);
  }
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bin = scratch() + "/nk.bin";
  const std::vector<uint8_t> content = file_of(data, size);
  std::FILE* f = std::fopen(bin.c_str(), "wb");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  // Everything the last run wrote goes, convert's files for several images too.
  std::error_code ignored;
  std::vector<std::filesystem::path> earlier;
  for (const auto& entry : std::filesystem::directory_iterator(scratch(), ignored))
    if (entry.path().filename() != "nk.bin" && entry.path().filename() != "new") earlier.push_back(entry.path());
  for (const auto& path : earlier) std::filesystem::remove_all(path, ignored);

  std::string commands[9][4] = {{"list"},
                                {"extract"},
                                {"update", "a", scratch() + "/new"},
                                {"unpack", scratch() + "/run"},
                                {"convert", "raw", scratch() + "/out.nb0"},
                                {"convert", "bin", scratch() + "/out.bin"},
                                {"verify"},
                                {"info"},
                                {"symbols"}};
  const auto& words = commands[size == 0 ? 0 : (size - 1) % 9];
  std::vector<const char*> argv{"xipsaw", bin.c_str()};
  for (const std::string& w : words)
    if (!w.empty()) argv.push_back(w.c_str());
  std::FILE* out = std::fopen((scratch() + "/output.txt").c_str(), "w");
  xipsaw::RunOptions options;
  options.out = out;
  options.library_dir = XIPSAW_CODEC_DIR;
  xipsaw::run_command_line(static_cast<int>(argv.size()), argv.data(), options);
  std::fclose(out);
  const uintmax_t written = bytes_written();
  if (written > 200 * uintmax_t{content.size()} + (1u << 20)) {
    std::fprintf(stderr, "%s wrote %ju bytes for a file of %zu bytes\n", words[0].c_str(), written,
                 content.size());
    std::abort();
  }
  return 0;
}
