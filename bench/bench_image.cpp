// Times list, extract and update on a large generated image: 4000 files of
// 1 to 32 KiB, one in five compressed, in records of 64 KiB, and 200
// modules of four sections. Prints the figures; asserts nothing.
//   bench_image [scratch directory]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "driver/driver.h"
#include "image_builder.h"
#include "lzx_encoder.h"

using namespace testkit;

namespace {

Bytes compress(const Bytes& data) {
  Bytes out(data.size() + 1024);
  int32_t n = lzx::compress_buffer(data.data(), static_cast<uint32_t>(data.size()), out.data(),
                                   static_cast<uint32_t>(out.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

Bytes content(std::mt19937& rng, size_t n) {
  static const char* words[] = {"coredll", "registry", "HKEY_LOCAL_MACHINE", "device", "driver", "0x0000", "\r\n"};
  Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % 7];
    b.insert(b.end(), w, w + std::char_traits<char>::length(w));
    b.push_back(' ');
  }
  b.resize(n);
  return b;
}

double run(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"xipsaw"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  xipsaw::RunOptions options;
  options.out = std::fopen("/dev/null", "w");
  options.library_dir = XIPSAW_CODEC_DIR;
  auto start = std::chrono::steady_clock::now();
  xipsaw::run_command_line(static_cast<int>(argv.size()), argv.data(), options);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(options.out);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "xipsaw-bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::mt19937 rng(7);

  RomBuilder rom;
  rom.rom_header_address = 0x80001000;
  size_t stored = 0;
  for (int i = 0; i < 200; ++i) {
    RomModule& m = rom.add_module("module" + std::to_string(i) + ".dll");
    for (uint32_t s = 0; s < 4; ++s) {
      Bytes data = content(rng, 2048 + rng() % 8192);
      m.sections.push_back({data, static_cast<uint32_t>(data.size()), 0x1000 * (s + 1), {}, 0, 0x60000020, true});
      stored += data.size();
    }
  }
  for (int i = 0; i < 4000; ++i) {
    Bytes data = content(rng, 1024 + rng() % 31744);
    if (i % 5 == 0) {
      Bytes packed = compress(data);
      RomFile& f = rom.add_file("file" + std::to_string(i) + ".txt", packed, 0x800);
      f.real_size = static_cast<uint32_t>(data.size());
      stored += packed.size();
    } else {
      rom.add_file("file" + std::to_string(i) + ".txt", data);
      stored += data.size();
    }
  }
  BinBuilder bin = rom.layout();
  bin.max_record_length = 64 * 1024;
  const std::string path = dir + "/bench.bin";
  bin.write(path);
  std::printf("image: %zu modules, %zu files, %.1f MiB stored, %zu records\n", rom.modules.size(), rom.files.size(),
              static_cast<double>(stored) / (1 << 20), bin.records().size());

  std::printf("list:    %8.3f s\n", run({path, "list"}));
  std::printf("extract: %8.3f s\n", run({path, "extract"}));
  std::printf("extract one file by name: %8.3f s\n", run({path, "extract", "file3999.txt"}));
  Bytes update(20000, 'u');
  std::FILE* f = std::fopen((dir + "/new.txt").c_str(), "wb");
  std::fwrite(update.data(), 1, update.size(), f);
  std::fclose(f);
  std::printf("update:  %8.3f s\n", run({path, "update", "file3995.txt", dir + "/new.txt"}));
  std::filesystem::remove_all(dir);
  return 0;
}
