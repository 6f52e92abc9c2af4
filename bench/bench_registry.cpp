// Times the registry code on the real hives of ../shared, when this machine
// has them: each hive read (layout checked, tree built), exported as .reg
// text, and read again to import its own export (which changes nothing), beside
// the anchor of one copy and byte sum of the same bytes. The best of 20 runs
// each, in microseconds. Prints the figures; asserts nothing.
//   bench_registry [shared directory; default /work/shared]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "lzx_decoder.h"
#include "registry/hive_edit.h"
#include "registry/reg_export.h"
#include "registry/registry_file.h"

namespace {

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double best_microseconds(const std::function<void()>& body) {
  double best = 1e30;
  for (int run = 0; run < 20; ++run) {
    const auto start = std::chrono::steady_clock::now();
    body();
    best = std::min(best, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::string exported(const xipsaw::RegistryTree& tree) {
  std::FILE* out = std::tmpfile();
  xipsaw::write_reg(out, tree);
  std::string text(static_cast<size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  const size_t got = std::fread(text.data(), 1, text.size(), out);
  std::fclose(out);
  text.resize(got);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string shared = argc > 1 ? argv[1] : "/work/shared";
  struct Sample {
    std::string name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Sample> samples;
  for (const char* name : {"boot.hv", "user.hv"}) samples.push_back({name, read_bytes(shared + "/samples-registry/" + name)});
  // The largest real hive is kept compressed, as the image stores it.
  const std::vector<uint8_t> packed = read_bytes(shared + "/corpus/default.hv.lzx");
  std::vector<uint8_t> expanded(1 << 20);
  const int32_t n = packed.empty() ? -1 : lzx::decompress_buffer(packed.data(), static_cast<uint32_t>(packed.size()),
                                                                 expanded.data(), static_cast<uint32_t>(expanded.size()));
  expanded.resize(n < 0 ? 0 : static_cast<size_t>(n));
  samples.push_back({"default.hv", expanded});

  std::FILE* sink = std::fopen("/dev/null", "w");
  volatile uint64_t sum = 0;  // the anchor's sum, kept so that it is computed
  std::printf("%-12s %8s %6s %7s %12s %9s %11s %11s\n", "hive", "bytes", "keys", "values", "anchor (us)", "read (us)",
              "export (us)", "import (us)");
  for (const Sample& sample : samples) {
    if (sample.bytes.empty()) {
      std::printf("%-12s (not found below %s: skipped)\n", sample.name.c_str(), shared.c_str());
      continue;
    }
    xipsaw::RegistryFile registry;
    std::string why;
    if (!xipsaw::read_registry(sample.bytes, registry, why)) {
      std::printf("%-12s does not read: %s\n", sample.name.c_str(), why.c_str());
      continue;
    }
    const std::string text = exported(registry.tree);
    const double anchor = best_microseconds([&] {
      std::vector<uint8_t> copy = sample.bytes;
      sum = sum + std::accumulate(copy.begin(), copy.end(), uint64_t{0});
    });
    const double read = best_microseconds([&] {
      xipsaw::RegistryFile r;
      xipsaw::read_registry(sample.bytes, r, why);
    });
    const double write = best_microseconds([&] { xipsaw::write_reg(sink, registry.tree); });
    const double import = best_microseconds([&] {
      xipsaw::RegistryFile r;
      uint32_t line = 0;
      xipsaw::read_registry(sample.bytes, r, why);
      xipsaw::apply_reg(r.hive, r.tree, text, line, why);
    });
    std::printf("%-12s %8zu %6zu %7zu %12.0f %9.0f %11.0f %11.0f\n", sample.name.c_str(), sample.bytes.size(),
                registry.tree.keys.size(), registry.tree.values.size(), anchor, read, write, import);
  }
  std::fclose(sink);
  return 0;
}
