// Compression ratio and encoding speed of the LZX encoder.
//
// Real buffers: every buffer listed in the SHA256SUMS of each directory is
// expanded and compressed again; ours is printed beside the size the
// original compressor stored, per buffer and in total. Synthetic data of each
// kind the tests use (tables of 4-byte records, hives, code, text) follows.
// With --anchor, every input is also compressed by another CECompressv4
// library (a build of an earlier encoder, say) and printed beside ours.
// Speeds are wall clock, the median of several runs, with all cores and with
// one thread. Asserts nothing beyond the round trips.
//   bench_codec [--anchor LIBRARY_DIR] [DIR...]
// The directories default to the repository's samples and corpus. An anchor
// is built from any earlier revision, for instance:
//   git worktree add /tmp/earlier REV
//   cmake -S /tmp/earlier -B /tmp/earlier/build -DCMAKE_BUILD_TYPE=Release
//   cmake --build /tmp/earlier/build --target CECompressv4
//   build/bench_codec --anchor /tmp/earlier/build
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compression/binding.h"
#include "encoder_inputs.h"
#include "lzx_decoder.h"
#include "lzx_encoder.h"
#include "lzx_encoder_internal.h"
#include "samples.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Input {
  std::string name;
  Bytes data;
  size_t original = 0;  // what the original compressor stored, if known
};

// 0 threads: compress_buffer's own choice (all cores).
int32_t ours(const Bytes& src, Bytes& out, unsigned threads) {
  out.resize(src.size() + src.size() / 32 + 64);
  const uint32_t n = uint32_t(src.size()), cap = uint32_t(out.size());
  return threads == 0 ? lzx::compress_buffer(src.data(), n, out.data(), cap)
                      : lzx::detail::compress_buffer(src.data(), n, out.data(), cap, threads);
}

int32_t anchor(const xipsaw::CompressionLibrary& lib, const Bytes& src, Bytes& out) {
  out.resize(src.size() + src.size() / 32 + 64);
  return lib.shrink(src.data(), uint32_t(src.size()), out.data(), uint32_t(out.size()));
}

bool round_trips(const Bytes& src, const Bytes& packed, int32_t c) {
  if (c < 0) return false;
  Bytes back(src.size());
  return lzx::decompress_buffer(packed.data(), uint32_t(c), back.data(), uint32_t(back.size())) ==
             int32_t(src.size()) &&
         back == src;
}

// Seconds per run of f over all inputs: the median of `runs` runs.
template <typename F>
double median_seconds(unsigned runs, F&& f) {
  std::vector<double> t;
  for (unsigned r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    f();
    t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

double mb_per_s(size_t bytes, double seconds) { return double(bytes) / 1e6 / seconds; }

// Prints one line per input (unless totals_only) and the total; false if a
// round trip failed.
bool ratios(const char* title, const std::vector<Input>& inputs, const xipsaw::CompressionLibrary* other,
            bool totals_only = false) {
  std::printf("%-38s %9s %9s %9s %8s", title, "bytes", "ours", "original", "ours/orig");
  if (other) std::printf(" %9s %8s", "anchor", "ours/anch");
  std::printf("\n");
  size_t in = 0, out = 0, orig = 0, anch = 0;
  bool ok = true;
  Bytes packed;
  for (const Input& input : inputs) {
    const int32_t c = ours(input.data, packed, 0);
    if (!round_trips(input.data, packed, c)) {
      std::printf("%-38s ROUND TRIP FAILED\n", input.name.c_str());
      ok = false;
      continue;
    }
    in += input.data.size(), out += size_t(c), orig += input.original;
    const int32_t a = other ? anchor(*other, input.data, packed) : 0;
    anch += size_t(std::max(a, 0));
    if (totals_only) continue;
    std::printf("%-38s %9zu %9d", input.name.c_str(), input.data.size(), c);
    if (input.original) std::printf(" %9zu %+7.2f%%", input.original, 100.0 * (double(c) / double(input.original) - 1));
    else std::printf(" %9s %8s", "", "");
    if (other) std::printf(" %9d %+7.2f%%", a, 100.0 * (double(c) / a - 1));
    std::printf("\n");
  }
  std::printf("%-38s %9zu %9zu", "total", in, out);
  if (orig) std::printf(" %9zu %+7.2f%%", orig, 100.0 * (double(out) / double(orig) - 1));
  else std::printf(" %9s %8s", "", "");
  if (other) std::printf(" %9zu %+7.2f%%", anch, 100.0 * (double(out) / double(anch) - 1));
  std::printf("\n%-38s %9s %9.4f", "ratio", "", double(out) / double(in));
  if (orig) std::printf(" %9.4f", double(orig) / double(in));
  if (other) std::printf(" %18.4f", double(anch) / double(in));
  std::printf("\n\n");
  return ok;
}

// Encoding speed over all inputs, one call per input, as the tool makes them.
void speeds(const char* title, const std::vector<Input>& inputs, unsigned runs,
            const xipsaw::CompressionLibrary* other) {
  size_t bytes = 0;
  for (const Input& input : inputs) bytes += input.data.size();
  Bytes packed;
  auto all = [&](unsigned threads) {
    return median_seconds(runs, [&] {
      for (const Input& input : inputs) ours(input.data, packed, threads);
    });
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("%-38s %9zu bytes  all %u cores %6.2f MB/s  one thread %6.2f MB/s", title, bytes, cores,
              mb_per_s(bytes, all(0)), mb_per_s(bytes, all(1)));
  if (other) {
    const double s = median_seconds(runs, [&] {
      for (const Input& input : inputs) anchor(*other, input.data, packed);
    });
    std::printf("  anchor %6.2f MB/s", mb_per_s(bytes, s));
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> dirs;
  std::string anchor_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--anchor" && i + 1 < argc) anchor_dir = argv[++i];
    else dirs.push_back(arg);
  }
  if (dirs.empty()) dirs = {XIPSAW_SAMPLES_DIR, XIPSAW_CORPUS_DIR};
  xipsaw::CompressionLibrary library;
  const xipsaw::CompressionLibrary* other = nullptr;
  if (!anchor_dir.empty()) {
    if (!library.load(anchor_dir)) {
      std::printf("cannot load the anchor library from %s\n", anchor_dir.c_str());
      return 1;
    }
    other = &library;
  }

  bool ok = true;
  std::vector<Input> real;
  std::vector<std::pair<std::string, std::vector<Input>>> sets;
  for (const std::string& dir : dirs) {
    std::vector<Input> set;
    for (const Sample& s : load_samples(dir)) {
      Bytes data(s.capacity);
      const int32_t n = lzx::decompress_buffer(s.data.data(), uint32_t(s.data.size()), data.data(), s.capacity);
      if (n < 0) {
        std::printf("%s/%s cannot be expanded\n", dir.c_str(), s.name.c_str());
        ok = false;
        continue;
      }
      data.resize(size_t(n));
      set.push_back({s.name, data, s.data.size()});
    }
    if (set.empty()) {
      std::printf("no buffers listed in %s/SHA256SUMS\n", dir.c_str());
      continue;
    }
    ok = ratios(dir.c_str(), set, other) && ok;
    real.insert(real.end(), set.begin(), set.end());
    sets.emplace_back(dir, std::move(set));
  }
  if (sets.size() > 1) ok = ratios("all real buffers", real, other, true) && ok;

  constexpr size_t kSyntheticSize = 1u << 18;
  std::vector<Input> synthetic;
  for (const auto& kind : encoder_inputs::kKinds) synthetic.push_back({kind.name, kind.make(kSyntheticSize, 1), 0});
  ok = ratios("synthetic, 256 KiB each", synthetic, other) && ok;

  std::printf("encoding speed, wall clock, median of the runs\n");
  for (const auto& [dir, set] : sets) speeds(dir.c_str(), set, 7, other);
  speeds("synthetic", synthetic, 3, other);
  std::vector<Input> pathological{{"a and b", encoder_inputs::two_letters(1u << 20), 0}};
  speeds("1 MiB of random 'a' and 'b'", pathological, 3, other);
  return ok ? 0 : 1;
}
