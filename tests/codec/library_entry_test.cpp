// The exported entry points of the built shared library: they refuse every
// call that breaks the call contract, expand the real samples of both
// formats and compress in the format asked for.
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "compression/binding.h"
#include "encoder_inputs.h"
#include "samples.h"
#include "sha256.h"
#include "tool_run.h"

namespace {

TEST(LibraryEntryPoints, RejectOtherConstantArguments) {
  xipsaw::CompressionLibrary library;
  ASSERT_TRUE(library.load(XIPSAW_CODEC_DIR));
  const auto compress = library.compress;
  const auto decompress = library.decompress;
  uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t dst[64] = {};
  for (uint32_t format : {0u, 3u, 0x101u}) EXPECT_LT(compress(src, 8, dst, 28, format, 4096), 0) << format;
  EXPECT_LT(compress(src, 8, dst, 28, 1, 8192), 0);
  EXPECT_LT(compress(src, 8, dst, 28, 2, 8192), 0);
  const uint8_t empty[3] = {0, 0, 0};
  EXPECT_LT(decompress(empty, 3, dst, 64, 1, 1, 4096), 0);
  EXPECT_LT(decompress(empty, 3, dst, 64, 0, 0, 4096), 0);
  EXPECT_LT(decompress(empty, 3, dst, 64, 0, 1, 2048), 0);
}

TEST(LibraryEntryPoints, DecompressExpandsTheSamplesOfBothFormats) {
  xipsaw::CompressionLibrary library;
  ASSERT_TRUE(library.load(XIPSAW_CODEC_DIR));
  const auto decompress = library.decompress;
  auto samples = load_samples();
  const auto older = load_samples(XIPSAW_LZSS_SAMPLES_DIR);
  samples.insert(samples.end(), older.begin(), older.end());
  ASSERT_EQ(samples.size(), 13u);
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

TEST(LibraryEntryPoints, CompressWritesTheFormatItsArgumentSelects) {
  xipsaw::CompressionLibrary library;
  ASSERT_TRUE(library.load(XIPSAW_CODEC_DIR));
  const std::vector<uint8_t> src = encoder_inputs::text(10000);
  const auto size = static_cast<uint32_t>(src.size());
  std::vector<uint8_t> packed(size + 2000), back(size);
  for (auto format : {xipsaw::CompressedFormat::lzx, xipsaw::CompressedFormat::lzss}) {
    const int32_t n = library.shrink(src.data(), size, packed.data(), size + 2000, format);
    ASSERT_GT(n, 0);
    EXPECT_EQ(xipsaw::format_of_buffer(packed.data(), static_cast<uint32_t>(n)), format);
    ASSERT_EQ(library.expand(packed.data(), static_cast<uint32_t>(n), back.data(), size), int32_t(size));
    EXPECT_EQ(back, src);
  }
  EXPECT_LT(library.shrink(src.data(), size, packed.data(), size + 2000, xipsaw::CompressedFormat::none), 0);
}

// The library bound is the one in the directory given, even when a library
// of the same name is already loaded from elsewhere (Windows would hand back
// a loaded library when asked by name alone). A directory without one falls
// back to the system's search, which finds none for the test programs.
// A library that claims more bytes than the buffer it was given holds.
TEST(LibraryEntryPoints, AResultBeyondTheCapacityIsAFailure) {
  xipsaw::CompressionLibrary overrun;
  overrun.decompress = [](const void*, uint32_t, void*, uint32_t capacity, uint32_t, uint32_t, uint32_t) {
    return static_cast<int32_t>(capacity + 1);
  };
  const uint8_t stored[8] = {};
  std::unique_ptr<uint8_t[]> expanded;
  EXPECT_LT(xipsaw::expand_stored_bytes(overrun, stored, sizeof stored, 100, expanded), 0);
}

TEST(LibraryLookup, TheGivenDirectoryDecidesWhichLibraryIsBound) {
  testkit::TempDir empty;
  xipsaw::CompressionLibrary none, real, fake;
  EXPECT_FALSE(none.load(empty.path()));
  ASSERT_TRUE(real.load(testkit::real_codec_dir()));
  ASSERT_TRUE(fake.load(testkit::fake_codec_dir()));
  EXPECT_NE(fake.compress, real.compress);
  const uint8_t text[4] = {'t', 'e', 'x', 't'};
  uint8_t packed[64] = {};
  EXPECT_EQ(fake.shrink(text, 4, packed, sizeof packed, xipsaw::CompressedFormat::lzss), 5);
  EXPECT_EQ(fake.shrink(text, 4, packed, sizeof packed), 5);  // the stand-in's own form: 'C', then the bytes
  EXPECT_EQ(packed[0], 'C');
  const int32_t n = real.shrink(text, 4, packed, sizeof packed);
  ASSERT_GT(n, 0);
  uint8_t expanded[4] = {};
  EXPECT_LT(fake.expand(packed, static_cast<uint32_t>(n), expanded, 4), 0);  // the real format is not the stand-in's
  ASSERT_EQ(real.expand(packed, static_cast<uint32_t>(n), expanded, 4), 4);
  EXPECT_EQ(std::vector<uint8_t>(expanded, expanded + 4), std::vector<uint8_t>(text, text + 4));
}

}  // namespace
