// The encoder: round trips through the decoder for every kind of data at the
// sizes where the framing and the E8 translation change, the framing it
// writes, the block type it picks, the same bytes on any number of threads,
// the caller's capacity, the size limit, the length-limited codes, the ratio
// on the real buffers, and the exported CECompress. Streams of every forced
// block type are checked against cabextract in cabextract_test.cpp.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <queue>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compression/binding.h"
#include "encoder_inputs.h"
#include "lzx_decoder.h"
#include "lzx_encoder.h"
#include "lzx_encoder_internal.h"
#include "lzx_format.h"
#include "samples.h"
#include "sha256.h"

namespace {

using encoder_inputs::Bytes;

uint32_t u24(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | uint32_t(b[at + 2]) << 16; }
uint32_t u32(const Bytes& b, size_t at) { return u24(b, at) | uint32_t(b[at + 3]) << 24; }

// Compresses with the given number of threads, 0 for compress_buffer's own.
Bytes compress(const Bytes& src, unsigned threads = 0) {
  Bytes out(src.size() + src.size() / 32 + 64);
  const int32_t n =
      threads == 0 ? lzx::compress_buffer(src.data(), uint32_t(src.size()), out.data(), uint32_t(out.size()))
                   : lzx::detail::compress_buffer(src.data(), uint32_t(src.size()), out.data(), uint32_t(out.size()),
                                                  threads);
  EXPECT_GE(n, 0);
  out.resize(size_t(std::max(n, 0)));
  return out;
}

// Expands from an exactly sized copy; empty on failure.
Bytes expand(const Bytes& packed, size_t n) {
  Bytes out(n);
  const int32_t got = lzx::decompress_buffer(packed.data(), uint32_t(packed.size()), out.data(), uint32_t(n));
  if (got != int32_t(n)) return {};
  return out;
}

// The layout every buffer must have: U, the end offsets, and per block the
// header 16, N, C, N with an even C that fills the space up to its end offset.
void expect_framing(const Bytes& packed, uint32_t u) {
  ASSERT_GE(packed.size(), 3u);
  ASSERT_EQ(u24(packed, 0), u);
  const uint32_t blocks = (u + 4095) / 4096;
  uint32_t start = 3 * (blocks + 1);
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t end = u24(packed, 3 * (k + 1));
    const uint32_t n = std::min(4096u, u - 4096 * k);
    ASSERT_LE(end, packed.size());
    EXPECT_EQ(u32(packed, start), 16u);
    EXPECT_EQ(u32(packed, start + 4), n);
    EXPECT_EQ(u32(packed, start + 8), end - start - 16);
    EXPECT_EQ(u32(packed, start + 12), n);
    EXPECT_EQ(u32(packed, start + 8) % 2, 0u);
    start = end;
  }
  EXPECT_EQ(start, packed.size());
}

TEST(EncoderRoundTrip, EveryKindOfDataAtTheBlockAndE8Limits) {
  for (const auto& kind : encoder_inputs::kKinds) {
    for (uint32_t n : {0u, 1u, 2u, 10u, 11u, 12u, 4095u, 4096u, 4097u, 3 * 4096u + 1}) {
      SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(n));
      const Bytes src = kind.make(n, n);
      const Bytes packed = compress(src);
      expect_framing(packed, n);
      EXPECT_EQ(expand(packed, n), src);
    }
  }
  EXPECT_EQ(compress({}), (Bytes{0, 0, 0}));
}

TEST(EncoderRoundTrip, CallTargetsAtEveryPositionAndEdgeOfTheTranslation) {
  // Each size shifts which E8 bytes fall inside i < N - 10.
  for (uint32_t n = 11; n <= 40; ++n) {
    const Bytes src = encoder_inputs::x86(n, n);
    EXPECT_EQ(expand(compress(src), n), src) << n;
  }
  // One call at every position of a block, with targets at both edges.
  for (int32_t target : {0, -1, 11999999, 12000000, -12000000, 0x7FFFFFFF}) {
    Bytes src(600, 0x90);
    for (size_t i = 0; i + 5 <= src.size(); i += 7) {
      const int32_t t = target == 0 ? -int32_t(i) : target;
      src[i] = 0xE8;
      for (int b = 0; b < 4; ++b) src[i + 1 + b] = uint8_t(uint32_t(t) >> (8 * b));
    }
    EXPECT_EQ(expand(compress(src), src.size()), src) << target;
  }
}

TEST(EncoderBlockChoice, NeverLargerThanUncompressedAndSmallerWhenItCan) {
  // 3 + 3 size fields, a 16-byte header, 8 bytes of stream header and
  // padding, 12 bytes of repeated offsets, then the bytes.
  EXPECT_EQ(compress(encoder_inputs::random(4096)).size(), 3 + 3 + 16 + 8 + 12 + 4096u);
  EXPECT_EQ(compress(encoder_inputs::random(1)).size(), 3 + 3 + 16 + 8 + 12 + 2u);
  EXPECT_LT(compress(encoder_inputs::zeros(4096, 0)).size(), 100u);
  EXPECT_LT(compress(encoder_inputs::text(4096)).size(), 4096u / 2);
}

TEST(EncoderBlockChoice, TheChosenStreamIsAsSmallAsTheBestForcedType) {
  Bytes stream(lzx::detail::kMaxStreamBytes);
  unsigned aligned_won = 0, verbatim_won = 0;
  for (const auto& kind : encoder_inputs::kKinds) {
    for (uint32_t seed : {1u, 2u}) {
      SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(seed));
      const Bytes src = kind.make(4096, seed);
      uint32_t size[4];
      for (unsigned type = 0; type < 4; ++type)
        size[type] = lzx::detail::compress_stream(src.data(), 4096, type, stream.data());
      // A forced type prices its own parse, which now and then ends a word
      // or two smaller than the parse the chosen type came from.
      EXPECT_LE(size[0], *std::min_element(size + 1, size + 4) + 4);
      EXPECT_LE(size[0], size[3]);
      aligned_won += size[2] < size[1];
      verbatim_won += size[1] < size[2];
    }
  }
  // The data has blocks where each of the two compressed types is smaller.
  EXPECT_GT(aligned_won, 0u);
  EXPECT_GT(verbatim_won, 0u);
}

TEST(EncoderThreads, TheSameBytesWhateverTheNumberOfThreads) {
  Bytes src;
  for (const auto& kind : encoder_inputs::kKinds) {
    const Bytes part = kind.make(4096 + 700, 21);
    src.insert(src.end(), part.begin(), part.end());
  }
  const Bytes one = compress(src, 1);
  EXPECT_EQ(expand(one, src.size()), src);
  for (unsigned threads : {2u, 3u, 64u}) EXPECT_EQ(compress(src, threads), one) << threads;
  EXPECT_EQ(compress(src), one);
  // More blocks than the threads take in one round, mostly quick ones.
  Bytes many;
  for (uint32_t k = 0; k < 150; ++k) {
    const Bytes part = k % 16 == 0 ? encoder_inputs::text(4096, k) : encoder_inputs::zeros(4096, 0);
    many.insert(many.end(), part.begin(), part.end());
  }
  const Bytes packed = compress(many, 2);
  EXPECT_EQ(packed, compress(many, 1));
  EXPECT_EQ(expand(packed, many.size()), many);
}

TEST(EncoderCapacity, OneByteShortFailsWithoutWritingPastIt) {
  constexpr size_t kGuard = 64;
  for (const Bytes& src : {Bytes{}, Bytes{42}, encoder_inputs::text(5000), encoder_inputs::random(4097),
                           encoder_inputs::zeros(9000, 0)}) {
    const size_t exact = compress(src).size();
    for (size_t capacity : {exact - 1, exact}) {
      Bytes out(capacity + kGuard, 0xA5);
      const int32_t n = lzx::compress_buffer(src.data(), uint32_t(src.size()), out.data(), uint32_t(capacity));
      EXPECT_EQ(n, capacity < exact ? -1 : int32_t(exact)) << src.size();
      EXPECT_TRUE(std::all_of(out.begin() + capacity, out.end(), [](uint8_t b) { return b == 0xA5; })) << src.size();
    }
  }
  uint8_t none = 0;
  EXPECT_LT(lzx::compress_buffer(&none, 1, nullptr, 0), 0);
}

TEST(EncoderLimits, SizesFrom2To24AreRefusedAndOffsetsStayIn24Bits) {
  Bytes big(lzx::kMaxBufferSize, 0);
  std::vector<uint8_t> out(1u << 16);
  EXPECT_LT(lzx::compress_buffer(big.data(), uint32_t(big.size()), out.data(), uint32_t(out.size())), 0);
  // The largest size compresses when its result fits the 24-bit end offsets...
  const uint32_t largest = lzx::kMaxBufferSize - 1;
  out.assign(1u << 21, 0);
  const int32_t n = lzx::compress_buffer(big.data(), largest, out.data(), uint32_t(out.size()));
  ASSERT_GT(n, 0);
  out.resize(size_t(n));
  const Bytes back = expand(out, largest);
  ASSERT_EQ(back.size(), largest);
  EXPECT_TRUE(std::all_of(back.begin(), back.end(), [](uint8_t b) { return b == 0; }));
  // ...and is refused when incompressible data would need a larger offset.
  big = encoder_inputs::random(largest);
  out.assign(largest + largest / 64, 0);
  EXPECT_LT(lzx::compress_buffer(big.data(), largest, out.data(), uint32_t(out.size())), 0);
}

// Cost and depth of an optimal unlimited prefix code, as a reference.
struct Reference {
  uint64_t cost = 0;
  unsigned depth = 0;
};
Reference huffman(const std::vector<uint64_t>& w) {
  using Item = std::pair<uint64_t, unsigned>;  // weight, height of the subtree
  std::priority_queue<Item, std::vector<Item>, std::greater<>> q;
  for (uint64_t x : w) q.push({x, 0});
  Reference r;
  while (q.size() > 1) {
    const Item a = q.top();
    q.pop();
    const Item b = q.top();
    q.pop();
    r.cost += a.first + b.first;
    q.push({a.first + b.first, std::max(a.second, b.second) + 1});
  }
  r.depth = q.top().second;
  return r;
}

// Checks that lens form a complete code within limit; returns sum freq * len.
uint64_t check_code(const std::vector<uint32_t>& freq, const std::vector<uint8_t>& lens, unsigned limit) {
  uint64_t kraft = 0, cost = 0;  // in units of 2^-limit
  for (size_t s = 0; s < freq.size(); ++s) {
    EXPECT_LE(lens[s], limit);
    if (freq[s] != 0) {
      EXPECT_GT(lens[s], 0) << s;
    }
    if (lens[s] != 0) kraft += uint64_t(1) << (limit - lens[s]);
    cost += uint64_t(freq[s]) * lens[s];
  }
  EXPECT_EQ(kraft, uint64_t(1) << limit);
  return cost;
}

TEST(CodeLengths, CompleteOptimalAndWithinTheLimit) {
  auto build = [](const std::vector<uint32_t>& freq, unsigned limit) {
    std::vector<uint8_t> lens(freq.size(), 99);
    lzx::detail::build_code_lengths(freq.data(), unsigned(freq.size()), limit, lens.data());
    return lens;
  };
  // As cheap as a Huffman code when that fits the limit, else dearer.
  std::mt19937 rng(5);
  unsigned unconstrained = 0;
  for (int round = 0; round < 40; ++round) {
    std::vector<uint32_t> freq(512);
    std::vector<uint64_t> used;
    for (auto& f : freq) {
      f = rng() % 3 == 0 ? 0 : 1 + rng() % (round * round * 10 + 1);
      if (f) used.push_back(f);
    }
    const Reference ref = huffman(used);
    const uint64_t cost = check_code(freq, build(freq, 16), 16);
    if (ref.depth <= 16) {
      EXPECT_EQ(cost, ref.cost) << round;
      ++unconstrained;
    } else {
      EXPECT_GT(cost, ref.cost) << round;
    }
  }
  EXPECT_GT(unconstrained, 5u);
  // Fibonacci counts would need a depth of n - 1: the limits of the main,
  // pretree and aligned trees bind.
  for (auto [n, limit] : {std::pair{40u, 16u}, {20u, 15u}, {8u, 6u}, {8u, 3u}}) {
    std::vector<uint32_t> freq(n);
    freq[0] = freq[1] = 1;
    for (unsigned s = 2; s < n; ++s) freq[s] = freq[s - 1] + freq[s - 2];
    std::vector<uint64_t> w(freq.begin(), freq.end());
    EXPECT_GT(check_code(freq, build(freq, limit), limit), huffman(w).cost) << n;
  }
  // A limit below what the used symbols need is raised to the smallest that
  // fits: 300 symbols need 9 bits.
  {
    std::vector<uint32_t> freq(512);
    for (unsigned s = 0; s < 300; ++s) freq[s] = 1 + s * s;
    std::vector<uint8_t> lens(freq.size());
    EXPECT_EQ(lzx::detail::build_code_lengths(freq.data(), 512, 8, lens.data()), 9u);
    check_code(freq, lens, 9);
    EXPECT_EQ(*std::max_element(lens.begin(), lens.end()), 9);
  }
  // One used symbol still gets a complete code, through a second symbol.
  for (unsigned used : {0u, 5u, 511u}) {
    std::vector<uint32_t> freq(512);
    freq[used] = 9;
    const auto lens = build(freq, 16);
    EXPECT_EQ(lens[used], 1);
    EXPECT_EQ(std::count(lens.begin(), lens.end(), 1), 2);
    EXPECT_EQ(std::count(lens.begin(), lens.end(), 0), 510);
  }
  const auto none = build(std::vector<uint32_t>(249), 16);
  EXPECT_TRUE(std::all_of(none.begin(), none.end(), [](uint8_t l) { return l == 0; }));
}

TEST(EncoderRatio, EveryRealBufferCompressesBetterThanTheOriginal) {
  auto buffers = load_samples();
  ASSERT_EQ(buffers.size(), 6u);
  const auto corpus = load_corpus();
  ASSERT_EQ(corpus.size(), 22u);
  buffers.insert(buffers.end(), corpus.begin(), corpus.end());
  size_t original = 0, ours = 0;
  for (const auto& s : buffers) {
    Bytes data(s.capacity);
    ASSERT_EQ(lzx::decompress_buffer(s.data.data(), uint32_t(s.data.size()), data.data(), s.capacity),
              int32_t(s.size));
    data.resize(s.size);
    const Bytes packed = compress(data);
    const Bytes back = expand(packed, s.size);
    EXPECT_EQ(sha256_hex(back.data(), back.size()), s.sha256) << s.name;
    EXPECT_LT(packed.size(), s.data.size()) << s.name;
    original += s.data.size();
    ours += packed.size();
  }
  EXPECT_EQ(original, 19620u + 112789u);
  std::printf("real buffers: %zu bytes, originally %zu\n", ours, original);
}

TEST(EncoderLibrary, CECompressRoundTripsThroughCEDecompress) {
  xipsaw::CompressionLibrary library;
  ASSERT_TRUE(library.load(XIPSAW_CODEC_DIR));
  const auto compress_fn = library.compress;
  const auto decompress_fn = library.decompress;
  for (const Bytes& src : {encoder_inputs::text(10000), Bytes{}}) {
    const Bytes expected = compress(src);
    Bytes packed(src.size() + 256);
    const int32_t n = compress_fn(src.data(), uint32_t(src.size()), packed.data(), uint32_t(packed.size()), 1, 4096);
    ASSERT_EQ(n, int32_t(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), packed.begin()));
    Bytes back(src.size() + 1);
    EXPECT_EQ(decompress_fn(packed.data(), uint32_t(n), back.data(), uint32_t(back.size()), 0, 1, 4096),
              int32_t(src.size()));
    back.resize(src.size());
    EXPECT_EQ(back, src);
    EXPECT_LT(compress_fn(src.data(), uint32_t(src.size()), packed.data(), uint32_t(n - 1), 1, 4096), 0);
  }
}

}  // namespace
