// Every LZX stream the encoder writes must also be expanded by cabextract,
// an independent decoder, to the same bytes: streams of each block type,
// forced and chosen, for data of every kind, and the streams of the real
// buffers' recompressed blocks.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cab_wrap.h"
#include "encoder_inputs.h"
#include "lzx_decoder.h"
#include "lzx_encoder.h"
#include "lzx_encoder_internal.h"
#include "platform.h"
#include "samples.h"

namespace {

namespace fs = std::filesystem;
using encoder_inputs::Bytes;

struct Case {
  std::string name;
  Bytes stream;
  Bytes expected;
};

// Expands all cases with one cabextract run per case in a scratch directory.
// Returns the names of those whose expansion differs or fails.
std::vector<std::string> cabextract_mismatches(const std::vector<Case>& cases) {
  const fs::path dir = fs::temp_directory_path() / ("xipsaw-enc-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<std::string> bad;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const fs::path cab = dir / (std::to_string(i) + ".cab"), out = dir / std::to_string(i);
    const Bytes wrapped = wrap_lzx_stream_in_cab(c.stream.data(), c.stream.size(), c.expected.size());
    std::ofstream(cab, std::ios::binary)
        .write(reinterpret_cast<const char*>(wrapped.data()), std::streamsize(wrapped.size()));
    const std::string cmd = "cabextract -q -d '" + out.string() + "' '" + cab.string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0 || read_file((out / "out.bin").string()) != c.expected) bad.push_back(c.name);
  }
  fs::remove_all(dir);
  return bad;
}

// Splits a framed buffer into its blocks' streams, paired with the bytes
// each one expands to.
void add_streams(const std::string& name, const Bytes& src, std::vector<Case>& cases) {
  Bytes packed(src.size() + src.size() / 32 + 64);
  const int32_t n = lzx::compress_buffer(src.data(), uint32_t(src.size()), packed.data(), uint32_t(packed.size()));
  ASSERT_GT(n, 0) << name;
  const uint32_t blocks = uint32_t((src.size() + 4095) / 4096);
  for (uint32_t k = 0; k < blocks; ++k) {
    // Block k starts where block k - 1 ends, block 0 after the offsets.
    const uint32_t at = k == 0 ? 3 * (blocks + 1)
                               : packed[3 * k] | packed[3 * k + 1] << 8 | uint32_t(packed[3 * k + 2]) << 16;
    const uint32_t c = packed[at + 8] | packed[at + 9] << 8;
    const size_t begin = size_t(k) * 4096, end = std::min(src.size(), begin + 4096);
    cases.push_back({name + " block " + std::to_string(k),
                     Bytes(packed.begin() + at + 16, packed.begin() + at + 16 + c),
                     Bytes(src.begin() + long(begin), src.begin() + long(end))});
  }
}

TEST(EncoderAgainstCabextract, ForcedBlockTypesOfEveryKindAndSize) {
  SKIP_WITHOUT_LINUX_PROGRAM("/usr/bin/cabextract");
  std::vector<Case> cases;
  Bytes stream(lzx::detail::kMaxStreamBytes);
  for (const auto& kind : encoder_inputs::kKinds) {
    // 1 byte gives a main tree of one used symbol and an empty length tree.
    for (uint32_t n : {1u, 2u, 10u, 11u, 100u, 4095u, 4096u}) {
      const Bytes src = kind.make(n, n + 1);
      for (unsigned type : {0u, 1u, 2u, 3u}) {
        const uint32_t c = lzx::detail::compress_stream(src.data(), n, type, stream.data());
        ASSERT_GT(c, 0u);
        cases.push_back({std::string(kind.name) + " " + std::to_string(n) + " type " + std::to_string(type),
                         Bytes(stream.begin(), stream.begin() + c), src});
      }
    }
  }
  EXPECT_EQ(cabextract_mismatches(cases), std::vector<std::string>{});
}

TEST(EncoderAgainstCabextract, BlocksOfMixedBuffersAndOfTheRealBuffers) {
  SKIP_WITHOUT_LINUX_PROGRAM("/usr/bin/cabextract");
  std::vector<Case> cases;
  Bytes mixed = encoder_inputs::text(5000);
  for (const Bytes& part : {encoder_inputs::x86(7000), encoder_inputs::repeats(9000), encoder_inputs::zeros(3000, 0),
                            encoder_inputs::random(2000), encoder_inputs::text(3000, 9)})
    mixed.insert(mixed.end(), part.begin(), part.end());
  add_streams("mixed", mixed, cases);
  auto buffers = load_samples();
  const auto corpus = load_corpus();
  buffers.insert(buffers.end(), corpus.begin(), corpus.end());
  for (const auto& s : buffers) {
    Bytes data(s.capacity);
    const int32_t n = lzx::decompress_buffer(s.data.data(), uint32_t(s.data.size()), data.data(), s.capacity);
    ASSERT_EQ(n, int32_t(s.size)) << s.name;
    data.resize(s.size);
    add_streams(s.name, data, cases);
  }
  EXPECT_GT(cases.size(), 20u);
  EXPECT_EQ(cabextract_mismatches(cases), std::vector<std::string>{});
  // A damaged stream is noticed, so the comparison is a real one.
  Case damaged = cases.front();
  damaged.stream[damaged.stream.size() / 2] ^= 0x5A;
  EXPECT_EQ(cabextract_mismatches({damaged}).size(), 1u);
}

}  // namespace
