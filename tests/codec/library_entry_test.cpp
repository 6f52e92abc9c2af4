// The exported entry points of the built shared library: they refuse every
// call that breaks the call contract, and expand the real samples.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "compression/binding.h"
#include "samples.h"
#include "sha256.h"

namespace {

TEST(LibraryEntryPoints, RejectOtherConstantArguments) {
  xipsaw::CompressionLibrary library;
  ASSERT_TRUE(library.load(XIPSAW_CODEC_DIR));
  const auto compress = library.compress;
  const auto decompress = library.decompress;
  uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t dst[64] = {};
  EXPECT_LT(compress(src, 8, dst, 28, 2, 4096), 0);
  EXPECT_LT(compress(src, 8, dst, 28, 1, 8192), 0);
  const uint8_t empty[3] = {0, 0, 0};
  EXPECT_LT(decompress(empty, 3, dst, 64, 1, 1, 4096), 0);
  EXPECT_LT(decompress(empty, 3, dst, 64, 0, 0, 4096), 0);
  EXPECT_LT(decompress(empty, 3, dst, 64, 0, 1, 2048), 0);
}

TEST(LibraryEntryPoints, DecompressExpandsTheSamples) {
  xipsaw::CompressionLibrary library;
  ASSERT_TRUE(library.load(XIPSAW_CODEC_DIR));
  const auto decompress = library.decompress;
  const auto samples = load_samples();
  ASSERT_FALSE(samples.empty());
  for (const auto& s : samples) {
    std::vector<uint8_t> out(s.capacity);
    ASSERT_EQ(decompress(s.data.data(), uint32_t(s.data.size()), out.data(), s.capacity, 0, 1, 4096), int32_t(s.size))
        << s.name;
    EXPECT_EQ(sha256_hex(out.data(), s.size), s.sha256) << s.name;
    EXPECT_LT(decompress(s.data.data(), uint32_t(s.data.size()), out.data(), s.size - 1, 0, 1, 4096), 0) << s.name;
  }
  uint8_t none = 0;
  const uint8_t empty[3] = {0, 0, 0};
  EXPECT_EQ(decompress(empty, 3, &none, 0, 0, 1, 4096), 0);
}

}  // namespace
