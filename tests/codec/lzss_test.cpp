// The older format: the real buffers, hand-built and damaged blocks, buffers
// that mix both formats, and the encoder: round trips read by a checker that
// refuses any copy running into its own output, sizes weighed against a
// brute-force optimum, the largest block and the caller's capacity.
#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "buffer_decoder.h"
#include "compression/binding.h"
#include "compression/compressed_format.h"
#include "encoder_inputs.h"
#include "lzss_encoder.h"
#include "lzx_decoder.h"
#include "lzx_encoder.h"
#include "samples.h"
#include "sha256.h"

namespace {

using encoder_inputs::Bytes;
using xipsaw::CompressedFormat;
using xipsaw::format_of_buffer;

uint32_t u24(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | uint32_t(b[at + 2]) << 16; }

// Expands the first length bytes from an exactly sized copy, so that the
// sanitizer build catches a read past them, into out (its size the capacity).
int32_t expand(const Bytes& packed, size_t length, Bytes& out) {
  const Bytes exact(packed.begin(), packed.begin() + std::ptrdiff_t(length));
  return codec::decompress_buffer(exact.data(), uint32_t(length), out.data(), uint32_t(out.size()));
}

Bytes compress(const Bytes& src) {
  Bytes out(src.size() + src.size() / 8 + 64);
  const int32_t n = lzss::compress_buffer(src.data(), uint32_t(src.size()), out.data(), uint32_t(out.size()));
  EXPECT_GE(n, 0);
  out.resize(size_t(std::max(n, 0)));
  return out;
}

// A block written item by item, framed as a buffer of its own.
struct BlockWriter {
  Bytes bytes;
  size_t flags_at = 0, items = 0;
  BlockWriter& item(bool copy, const Bytes& item_bytes) {
    if (items % 8 == 0) flags_at = bytes.size(), bytes.push_back(0);
    bytes[flags_at] |= uint8_t(copy << (items++ % 8));
    bytes.insert(bytes.end(), item_bytes.begin(), item_bytes.end());
    return *this;
  }
  BlockWriter& literals(const std::string& text) {
    for (char c : text) item(false, {uint8_t(c)});
    return *this;
  }
  BlockWriter& near(unsigned distance) { return item(true, {uint8_t((distance - 2) << 4 | 1)}); }
  BlockWriter& copy(unsigned source, unsigned length) {
    const unsigned w = source << 4 | (length <= 16 ? length - 1 : 0);
    return item(true, length <= 16 ? Bytes{uint8_t(w), uint8_t(w >> 8)}
                                   : Bytes{uint8_t(w), uint8_t(w >> 8), uint8_t(length - 17)});
  }
  Bytes framed(uint32_t n) const {
    Bytes b(6 + bytes.size());
    for (int i = 0; i < 3; ++i) b[i] = uint8_t(n >> (8 * i)), b[3 + i] = uint8_t(b.size() >> (8 * i));
    std::copy(bytes.begin(), bytes.end(), b.begin() + 6);
    return b;
  }
};

struct Item {
  uint32_t position, length, source;  // a literal has length 1
};

// Expands a buffer of the older format item by item, as a device's decoder
// that copies with no overlap in mind would, and lists the items of each
// block; fails the test at a copy whose source runs into its own output.
std::vector<std::vector<Item>> check_items(const Bytes& packed, Bytes& out) {
  std::vector<std::vector<Item>> blocks;
  const uint32_t total = u24(packed, 0);
  size_t at = 3 * ((total + 4095) / 4096 + 1);
  for (uint32_t k = 0; k * 4096 < total; ++k) {
    const uint32_t n = std::min(4096u, total - k * 4096), base = uint32_t(out.size());
    auto& items = blocks.emplace_back();
    for (unsigned flags = 0, i = 0; out.size() - base < n; ++i, flags >>= 1) {
      if (i % 8 == 0) flags = packed.at(at++);
      const uint32_t pos = uint32_t(out.size()) - base, b0 = packed.at(at++);
      Item item{pos, 1, 0};
      if (flags & 1) {
        if ((b0 & 15) == 1) item = {pos, 2, pos - (b0 >> 4) - 2};
        else item = {pos, (b0 & 15) ? (b0 & 15) + 1 : packed.at(at + 1) + 17u, (b0 | packed.at(at) << 8) >> 4};
        at += item.length == 2 ? 0 : item.length <= 16 ? 1 : 2;
        EXPECT_LE(item.source + item.length, pos) << "block " << k;
        for (uint32_t j = 0; j < item.length; ++j) out.push_back(out.at(base + item.source + j));
      } else {
        out.push_back(uint8_t(b0));
      }
      items.push_back(item);
    }
    EXPECT_EQ(at, u24(packed, 3 * (k + 1))) << "block " << k;
  }
  return blocks;
}

// The fewest bytes a block can take, by brute force: every copy of every
// length from every earlier source, and the flag bytes counted per group.
uint32_t fewest_bytes(const Bytes& p) {
  const uint32_t n = uint32_t(p.size());
  std::vector<std::array<uint32_t, 8>> cost(n + 1);
  for (uint32_t pos = n; pos-- > 0;) {
    uint32_t longest = 0, near = 0;
    for (uint32_t s = 0; s < pos; ++s) {
      uint32_t l = 0;
      while (l < pos - s && l < 272 && pos + l < n && p[s + l] == p[pos + l]) ++l;
      longest = std::max(longest, l);
      near |= pos - s <= 17 && l >= 2;
    }
    for (unsigned k = 0; k < 8; ++k) {
      auto after = [&](uint32_t length) { return cost[pos + length][(k + 1) % 8]; };
      uint32_t best = 1 + after(1);
      if (near) best = std::min(best, 1 + after(2));
      for (uint32_t l = 3; l <= longest; ++l) best = std::min(best, (l <= 16 ? 2 : 3) + after(l));
      cost[pos][k] = best + (k == 0);
    }
  }
  return cost[0][0];
}

TEST(LzssSamples, ExpandToTheirDigestsAndNoneCutShort) {
  const auto samples = load_samples(XIPSAW_LZSS_SAMPLES_DIR);
  ASSERT_EQ(samples.size(), 7u);
  for (const auto& s : samples) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(format_of_buffer(s.data.data(), uint32_t(s.data.size())), CompressedFormat::lzss);
    Bytes out(s.capacity), small(s.size - 1);
    ASSERT_EQ(expand(s.data, s.data.size(), out), int32_t(s.size));
    EXPECT_EQ(sha256_hex(out.data(), s.size), s.sha256);
    EXPECT_LT(expand(s.data, s.data.size(), small), 0);
    EXPECT_LT(lzx::decompress_buffer(s.data.data(), uint32_t(s.data.size()), out.data(), s.capacity), 0);
    for (size_t len = 0; len < s.data.size(); ++len) ASSERT_LT(expand(s.data, len, out), 0) << len;
  }
}

TEST(LzssDecoder, CopiesIntoTheirOwnOutputAndDamagedBlocks) {
  // Copies whose source runs into their own output repeat bytes, as a byte
  // by byte copy makes them, up to the block's last byte.
  const BlockWriter q = BlockWriter().literals(std::string(4093, 'q'));
  const std::vector<std::pair<std::string, Bytes>> good = {
      {"abababababab", BlockWriter().literals("ab").copy(0, 10).framed(12)},
      {"xyzyzyzyzyzyzyzyzyzyzyz", BlockWriter().literals("xyz").copy(1, 20).framed(23)},
      {"abcababab", BlockWriter().literals("abc").near(3).near(2).near(2).framed(9)},
      {std::string(4096, 'q'), BlockWriter(q).copy(4092, 3).framed(4096)},
  };
  for (const auto& [text, packed] : good) {
    Bytes out(text.size());
    ASSERT_EQ(expand(packed, packed.size(), out), int32_t(text.size())) << text.substr(0, 30);
    EXPECT_EQ(std::string(out.begin(), out.end()), text);
  }
  auto cut = [](BlockWriter w, size_t bytes) { return w.bytes.resize(w.bytes.size() - bytes), w; };
  auto with = [](BlockWriter w, uint8_t byte) { return w.bytes.push_back(byte), w; };
  const std::vector<std::tuple<const char*, BlockWriter, uint32_t>> damaged = {
      {"copy from its own position", BlockWriter().literals("ab").copy(2, 3), 5},
      {"copy from the block's last position", BlockWriter(q).copy(4095, 3), 4096},
      {"short copy from before the start", BlockWriter().literals("a").near(2), 3},
      {"copy past the block's size", BlockWriter().literals("abcd").copy(0, 4), 7},
      {"long copy past the block's size", BlockWriter().literals("ab").copy(0, 17), 18},
      {"short copy past the block's size", BlockWriter().literals("abc").near(2), 4},
      {"items that end early", BlockWriter().literals("abcd"), 5},
      {"an item left over", BlockWriter().literals("abcde"), 4},
      {"a flag byte after the last group", with(BlockWriter().literals("abcdefgh"), 0), 8},
      {"a copy cut short", cut(BlockWriter().literals("abc").copy(0, 3), 1), 6},
      {"a long copy cut short", cut(BlockWriter().literals("abc").copy(0, 17), 1), 20},
  };
  for (const auto& [what, block, n] : damaged) {
    Bytes out(n);
    EXPECT_LT(expand(block.framed(n), block.bytes.size() + 6, out), 0) << what;
  }
}

TEST(EitherFormat, BlocksOfBothFormatsInOneBufferAndTheFormatOfABuffer) {
  const Bytes src = encoder_inputs::text(3 * 4096 - 100);
  Bytes lzx(src.size() + 512);
  lzx.resize(size_t(lzx::compress_buffer(src.data(), uint32_t(src.size()), lzx.data(), uint32_t(lzx.size()))));
  const Bytes lzss = compress(src);
  // Blocks 0 and 2 from the LZX buffer, block 1 from the other.
  Bytes mixed(12);
  for (uint32_t k = 0; k < 3; ++k) {
    const Bytes& from = k == 1 ? lzss : lzx;
    const uint32_t start = k == 0 ? 12 : u24(from, 3 * k), end = u24(from, 3 * (k + 1));
    mixed.insert(mixed.end(), from.begin() + start, from.begin() + end);
    for (int i = 0; i < 3; ++i) mixed[3 * (k + 1) + i] = uint8_t(mixed.size() >> (8 * i));
  }
  std::copy_n(lzx.begin(), 3, mixed.begin());  // U
  Bytes out(src.size());
  ASSERT_EQ(expand(mixed, mixed.size(), out), int32_t(src.size()));
  EXPECT_EQ(out, src);

  auto format = [](const Bytes& b, size_t length) { return format_of_buffer(b.data(), uint32_t(length)); };
  EXPECT_EQ(format(mixed, mixed.size()), CompressedFormat::lzx);
  EXPECT_EQ(format(lzss, lzss.size()), CompressedFormat::lzss);
  EXPECT_EQ(format(lzx, 12 + 16), CompressedFormat::lzx);  // the header alone tells
  EXPECT_EQ(format(lzx, 12 + 15), CompressedFormat::none);  // a header cut short does not
  EXPECT_EQ(format(Bytes{1, 0, 0, 7, 0, 0, 1}, 6), CompressedFormat::lzss);  // too short a block for one
  EXPECT_EQ(format(Bytes{0, 0, 0}, 3), CompressedFormat::none);
}

TEST(LzssEncoder, RoundTripsWithNoCopyIntoItsOwnOutput) {
  for (const auto& kind : encoder_inputs::kKinds) {
    for (uint32_t n : {0u, 1u, 4095u, 4096u, 4097u, 2 * 4096u + 5}) {
      SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(n));
      const Bytes src = kind.make(n, n);
      const Bytes packed = compress(src);
      EXPECT_EQ(format_of_buffer(packed.data(), uint32_t(packed.size())),
                n == 0 ? CompressedFormat::none : CompressedFormat::lzss);
      Bytes checked, out(n);
      check_items(packed, checked);
      EXPECT_EQ(checked, src);
      ASSERT_EQ(expand(packed, packed.size(), out), int32_t(n));
      EXPECT_EQ(out, src);
    }
  }
  // A repeat of each edge length, from position 0 (a short copy from 17
  // back) to the block's end, is one copy.
  for (uint32_t length : {2u, 3u, 16u, 17u, 272u}) {
    Bytes src = encoder_inputs::random(4096, length), out;
    const uint32_t at = 4096 - length, source = length == 2 ? at - 17 : 0;
    std::copy_n(src.begin() + source, length, src.begin() + at);
    const Item last = check_items(compress(src), out)[0].back();
    EXPECT_EQ(out, src);
    EXPECT_EQ(std::tie(last.position, last.length, last.source), std::tie(at, length, source)) << length;
  }
}

TEST(LzssEncoder, TheFewestBytesTheFormatAllows) {
  for (const auto& kind : encoder_inputs::kKinds) {
    const Bytes src = kind.make(700, 3);
    EXPECT_EQ(compress(src).size(), 6 + fewest_bytes(src)) << kind.name;
  }
  for (const Bytes& src : {encoder_inputs::text(4096), encoder_inputs::two_letters(4096)})
    EXPECT_EQ(compress(src).size(), 6 + fewest_bytes(src));
}

TEST(LzssEncoder, TheLargestBlockAndTheCapacity) {
  // Data without a repeated pair of bytes (steps of 1, 3, 5, ... 31 from one
  // byte to the next) takes every item as a literal: 4096 + 512 bytes a
  // block, within max_compressed_size. Like one byte less than that, the
  // 4096 + 20 bytes the tool gives fail, with nothing written past them.
  Bytes plain(4096);
  for (uint32_t i = 1; i < 4096; ++i) plain[i] = uint8_t(plain[i - 1] + 2 * (i / 256) + 1);
  const size_t largest = compress(plain).size();
  EXPECT_EQ(largest, 6 + 4096 + 512u);
  EXPECT_LE(largest, xipsaw::max_compressed_size(4096));
  for (size_t capacity : {largest - 1, size_t(4096 + 20)}) {
    Bytes out(capacity + 64, 0xA5);
    EXPECT_LT(lzss::compress_buffer(plain.data(), 4096, out.data(), uint32_t(capacity)), 0);
    EXPECT_TRUE(std::all_of(out.begin() + std::ptrdiff_t(capacity), out.end(), [](uint8_t b) { return b == 0xA5; }));
  }
}

}  // namespace
