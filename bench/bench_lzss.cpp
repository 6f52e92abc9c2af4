// The older format beside LZX.
//
// Sizes: the real buffers of the older format (tests/data/samples-lzss) are
// expanded and compressed again by our encoder; ours is printed beside the
// vendor's stored size, per buffer and in total, with the ratio.
//
// Speed: the same data in both formats, each made by our encoders: the
// expansions of the real buffers of both formats, and synthetic data of
// every kind the tests use. Per group, the sizes, expansion as CEDecompress
// does it (blocks of either format) of the older format beside LZX, and the
// encoders of both on one thread. The real buffers of the older format are
// also expanded as the vendor stored them. Figures are processor time (less
// disturbed by other processes than wall time), the median of several
// rounds; expansion rounds run for at least 0.1 s each. Asserts nothing
// beyond the round trips.
//   bench_lzss
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "buffer_decoder.h"
#include "encoder_inputs.h"
#include "lzss_encoder.h"
#include "lzx_encoder_internal.h"
#include "samples.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Buffer {
  Bytes data;      // expanded
  Bytes stored;    // as a real image holds it, if known
  Bytes lzss, lzx;  // made by our encoders
};

// Processor seconds per call of f: the median of rounds of at least
// min_seconds each.
template <typename F>
double seconds_per_call(F&& f, double min_seconds, int rounds_wanted) {
  std::vector<double> rounds;
  for (int round = 0; round < rounds_wanted; ++round) {
    unsigned calls = 0;
    const std::clock_t start = std::clock();
    double elapsed = 0;
    do {
      f();
      ++calls;
      elapsed = double(std::clock() - start) / CLOCKS_PER_SEC;
    } while (elapsed < min_seconds);
    rounds.push_back(elapsed / calls);
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[rounds.size() / 2];
}

using Encoder = int32_t (*)(const uint8_t*, uint32_t, uint8_t*, uint32_t, unsigned) noexcept;

int32_t encode(Encoder encoder, const Bytes& src, Bytes& out, unsigned threads) {
  out.resize(src.size() + src.size() / 4 + 64);  // data without repeats grows by an eighth in the older format
  const int32_t n = encoder(src.data(), uint32_t(src.size()), out.data(), uint32_t(out.size()), threads);
  out.resize(size_t(std::max(n, 0)));
  return n;
}

bool expands_to(const Bytes& packed, const Bytes& data) {
  Bytes out(data.size());
  return codec::decompress_buffer(packed.data(), uint32_t(packed.size()), out.data(), uint32_t(out.size())) ==
             int32_t(data.size()) &&
         out == data;
}

// Makes both formats of the buffer; false when a round trip fails.
bool encode_both(Buffer& b) {
  encode(lzss::detail::compress_buffer, b.data, b.lzss, 1);
  encode(lzx::detail::compress_buffer, b.data, b.lzx, 1);
  return expands_to(b.lzss, b.data) && expands_to(b.lzx, b.data);
}

bool encode_all(std::vector<Buffer>& group) {
  return std::all_of(group.begin(), group.end(), encode_both);
}

double mb_per_s(size_t bytes, double seconds) { return double(bytes) / 1e6 / seconds; }

double expansion_speed(const std::vector<Buffer>& group, Bytes Buffer::*form) {
  size_t bytes = 0;
  for (const Buffer& b : group) bytes += b.data.size();
  Bytes out(1u << 24);
  return mb_per_s(bytes, seconds_per_call(
                             [&] {
                               for (const Buffer& b : group)
                                 codec::decompress_buffer((b.*form).data(), uint32_t((b.*form).size()), out.data(),
                                                          uint32_t(b.data.size()));
                             },
                             0.1, 5));
}

// On one thread: the framing spreads the blocks of both formats over the
// cores alike.
double encoding_speed(const std::vector<Buffer>& group, Encoder encoder) {
  size_t bytes = 0;
  for (const Buffer& b : group) bytes += b.data.size();
  Bytes out;
  return mb_per_s(bytes, seconds_per_call(
                             [&] {
                               for (const Buffer& b : group) encode(encoder, b.data, out, 1);
                             },
                             0, 3));
}

void print_speeds(const char* what, const std::vector<Buffer>& group) {
  size_t bytes = 0, lzss = 0, lzx = 0;
  for (const Buffer& b : group) bytes += b.data.size(), lzss += b.lzss.size(), lzx += b.lzx.size();
  std::printf("%-24s %8zu %8zu %8zu | %9.1f %9.1f | %7.2f %7.2f\n", what, bytes, lzss, lzx,
              expansion_speed(group, &Buffer::lzss), expansion_speed(group, &Buffer::lzx),
              encoding_speed(group, lzss::detail::compress_buffer), encoding_speed(group, lzx::detail::compress_buffer));
}

}  // namespace

int main() {
  bool ok = true;
  // Sizes against the vendor's.
  std::vector<Buffer> older;
  std::printf("%-28s %8s %8s %8s %8s\n", "older-format buffer", "bytes", "vendor", "ours", "ours/ven");
  size_t bytes = 0, vendor = 0, ours = 0;
  for (const Sample& s : load_samples(XIPSAW_LZSS_SAMPLES_DIR)) {
    Buffer b{Bytes(s.capacity), s.data, {}, {}};
    const int32_t n = codec::decompress_buffer(s.data.data(), uint32_t(s.data.size()), b.data.data(), s.capacity);
    if (n < 0) {
      std::printf("%s cannot be expanded\n", s.name.c_str());
      return 1;
    }
    b.data.resize(size_t(n));
    ok = encode_both(older.emplace_back(std::move(b))) && ok;
    const Buffer& e = older.back();
    std::printf("%-28s %8zu %8zu %8zu %8.4f\n", s.name.c_str(), e.data.size(), e.stored.size(), e.lzss.size(),
                double(e.lzss.size()) / double(e.stored.size()));
    bytes += e.data.size(), vendor += e.stored.size(), ours += e.lzss.size();
  }
  std::printf("%-28s %8zu %8zu %8zu %8.4f\n\n", "total", bytes, vendor, ours, double(ours) / double(vendor));

  std::vector<Buffer> newer;
  for (const char* dir : {XIPSAW_SAMPLES_DIR, XIPSAW_CORPUS_DIR}) {
    for (const Sample& s : load_samples(dir)) {
      Buffer& b = newer.emplace_back(Buffer{Bytes(s.capacity), s.data, {}, {}});
      b.data.resize(size_t(std::max(
          0, codec::decompress_buffer(s.data.data(), uint32_t(s.data.size()), b.data.data(), s.capacity))));
    }
  }
  ok = encode_all(newer) && ok;

  std::printf("%-24s %8s %8s %8s | %19s | %15s\n", "", "", "", "", "expansion MB/s", "encoding MB/s");
  std::printf("%-24s %8s %8s %8s | %9s %9s | %7s %7s\n", "data", "bytes", "lzss", "lzx", "lzss", "lzx", "lzss",
              "lzx");
  print_speeds("older-format buffers", older);
  std::vector<Buffer> vendor_made = older;
  for (Buffer& b : vendor_made) b.lzss = b.stored;
  std::printf("%-24s %8zu %8zu %8s | %9.1f\n", "  as the vendor stored", bytes, vendor, "",
              expansion_speed(vendor_made, &Buffer::lzss));
  print_speeds("LZX buffers", newer);
  std::vector<Buffer> all;
  for (const auto& kind : encoder_inputs::kKinds) {
    std::vector<Buffer> group{{kind.make(1u << 18, 1), {}, {}, {}}};
    ok = encode_all(group) && ok;
    print_speeds((std::string("synthetic ") + kind.name).c_str(), group);
    all.insert(all.end(), group.begin(), group.end());
  }
  print_speeds("synthetic, all", all);
  if (!ok) std::printf("A ROUND TRIP FAILED\n");
  return ok ? 0 : 1;
}
