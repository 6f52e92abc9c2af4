// Compression ratio and encode/decode speed of the LZX codec, on the real
// samples (expanded first) and on a few MiB of synthetic data of each kind.
// Prints the figures; asserts nothing beyond checking the round trips.
//   bench_codec [samples directory]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lzx_decoder.h"
#include "lzx_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Input {
  std::string name;
  Bytes data;
  size_t reference = 0;  // size of the original compressed buffer, if any
};

// Words and numbers in registry-like lines.
Bytes text_like(std::mt19937& rng, size_t n) {
  static const char* words[] = {"HKEY_LOCAL_MACHINE", "\\Drivers\\BuiltIn", "\"Dll\"=", "coredll.dll",
                                "\"Prefix\"=\"COM\"", "dword:", "[", "]", "\r\n", "Index", "Order", "Flags",
                                "; comment", "device", "filesys", "0x", "\"FriendlyName\""};
  Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % std::size(words)];
    b.insert(b.end(), w, w + std::char_traits<char>::length(w));
    if (rng() % 3 == 0) {
      const std::string num = std::to_string(rng() % 4096);
      b.insert(b.end(), num.begin(), num.end());
    }
  }
  b.resize(n);
  return b;
}

// Machine code-ish: short instruction patterns, E8 calls to nearby targets,
// and small immediates.
Bytes x86_like(std::mt19937& rng, size_t n) {
  Bytes b;
  while (b.size() < n) {
    switch (rng() % 6) {
      case 0: {
        b.push_back(0xE8);
        const int32_t rel = int32_t(rng() % 65536) - 32768;
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(rel) >> (8 * i)));
        break;
      }
      case 1: b.insert(b.end(), {0x55, 0x8B, 0xEC, 0x83, 0xEC, uint8_t(rng() % 64 * 4)}); break;
      case 2: b.insert(b.end(), {0x8B, 0x45, uint8_t(rng() % 16 * 4), 0x50}); break;
      case 3: b.insert(b.end(), {0x5D, 0xC3}); break;
      case 4: b.insert(b.end(), {0x6A, uint8_t(rng() % 8), 0xFF, 0x15, 0x00, uint8_t(0x10 + rng() % 4), 0x40, 0x00}); break;
      default: b.push_back(uint8_t(rng())); break;
    }
  }
  b.resize(n);
  return b;
}

// Runs f repeatedly for at least min_seconds; returns seconds per run.
template <typename F>
double time_it(F&& f, double min_seconds = 0.3) {
  unsigned runs = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    f();
    ++runs;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < min_seconds);
  return elapsed / runs;
}

struct Totals {
  size_t in = 0, out = 0, reference = 0;
  double enc_seconds = 0, dec_seconds = 0;
};

bool bench(const Input& input, Totals& totals) {
  const Bytes& src = input.data;
  Bytes packed(src.size() + src.size() / 64 + 64);
  int32_t c = 0;
  const double enc = time_it([&] {
    c = lzx::compress_buffer(src.data(), uint32_t(src.size()), packed.data(), uint32_t(packed.size()));
  });
  if (c < 0) {
    std::printf("%-24s compression failed\n", input.name.c_str());
    return false;
  }
  Bytes back(src.size());
  int32_t d = 0;
  const double dec = time_it([&] {
    d = lzx::decompress_buffer(packed.data(), uint32_t(c), back.data(), uint32_t(back.size()));
  });
  if (d != int32_t(src.size()) || back != src) {
    std::printf("%-24s ROUND TRIP FAILED\n", input.name.c_str());
    return false;
  }
  const double mb = double(src.size()) / 1e6;
  std::printf("%-24s %9zu -> %8d  %6.2f%%", input.name.c_str(), src.size(), c, 100.0 * c / double(src.size()));
  if (input.reference) std::printf("  (original %6zu)", input.reference);
  else std::printf("  %17s", "");
  std::printf("  enc %7.1f MB/s  dec %7.1f MB/s\n", mb / enc, mb / dec);
  totals.in += src.size();
  totals.out += size_t(c);
  totals.reference += input.reference;
  totals.enc_seconds += enc;
  totals.dec_seconds += dec;
  return true;
}

void print_totals(const char* what, const Totals& t) {
  const double mb = double(t.in) / 1e6;
  std::printf("%-24s %9zu -> %8zu  %6.2f%%", what, t.in, t.out, 100.0 * double(t.out) / double(t.in));
  if (t.reference) std::printf("  (original %6zu)", t.reference);
  else std::printf("  %17s", "");
  std::printf("  enc %7.1f MB/s  dec %7.1f MB/s\n\n", mb / t.enc_seconds, mb / t.dec_seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : XIPSAW_SAMPLES_DIR;
  bool ok = true;

  std::vector<Input> samples;
  std::ifstream sums(dir + "/SHA256SUMS");
  std::string sha, name;
  uint32_t size = 0, capacity = 0;
  while (sums >> sha >> size >> capacity >> name) {
    const Bytes packed = read_file(dir + "/" + name);
    Bytes data(capacity);
    const int32_t n = lzx::decompress_buffer(packed.data(), uint32_t(packed.size()), data.data(), capacity);
    if (n < 0) {
      std::printf("%-24s cannot be expanded\n", name.c_str());
      ok = false;
      continue;
    }
    data.resize(size_t(n));
    samples.push_back({name, data, packed.size()});
  }
  if (samples.empty()) std::printf("no samples in %s\n", dir.c_str());
  Totals sample_totals;
  for (const Input& s : samples) ok = bench(s, sample_totals) && ok;
  if (!samples.empty()) print_totals("samples", sample_totals);

  std::mt19937 rng(12345);
  constexpr size_t kSize = 1u << 20;
  std::vector<Input> synthetic;
  synthetic.push_back({"text-like 1 MiB", text_like(rng, kSize)});
  synthetic.push_back({"x86-like 1 MiB", x86_like(rng, kSize)});
  synthetic.push_back({"zeros 1 MiB", Bytes(kSize, 0)});
  Bytes random(kSize);
  for (auto& b : random) b = uint8_t(rng());
  synthetic.push_back({"random 1 MiB", random});
  Totals synthetic_totals;
  for (const Input& s : synthetic) ok = bench(s, synthetic_totals) && ok;
  print_totals("synthetic", synthetic_totals);
  return ok ? 0 : 1;
}
