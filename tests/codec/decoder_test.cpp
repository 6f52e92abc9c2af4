// Expansion of framed LZX buffers: the real samples, the caller's capacity,
// malformed input, and hand-built streams of every block type, which are also
// expanded by cabextract as an independent reference.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cab_wrap.h"
#include "lzx_decoder.h"
#include "lzx_format.h"
#include "platform.h"
#include "samples.h"
#include "sha256.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Decodes the first len bytes of src from an exactly sized heap copy, so that
// the sanitizer build catches any read past them.
int32_t decode(const Bytes& src, size_t len, Bytes& dst) {
  const Bytes exact(src.begin(), src.begin() + len);
  return lzx::decompress_buffer(exact.data(), uint32_t(len), dst.data(), uint32_t(dst.size()));
}

const Sample& sample(const std::vector<Sample>& all, const std::string& name) {
  return *std::find_if(all.begin(), all.end(), [&](const Sample& s) { return s.name == name; });
}

void put_u24(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 3; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// Frames one LZX stream that expands to n <= 4096 bytes as a one-block buffer.
Bytes frame(const Bytes& stream, uint32_t n) {
  Bytes b(6);
  put_u24(b, 0, n);
  put_u24(b, 3, uint32_t(6 + 16 + stream.size()));
  for (uint32_t v : {16u, n, uint32_t(stream.size()), n})
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  b.insert(b.end(), stream.begin(), stream.end());
  return b;
}

int32_t decode_stream(const Bytes& stream, uint32_t n, Bytes& out) {
  out.assign(n, 0);
  const Bytes framed = frame(stream, n);
  return decode(framed, framed.size(), out);
}

// Expands a stream with cabextract; false if cabextract fails.
bool cabextract(const Bytes& stream, size_t n, Bytes& out) {
  static int counter = 0;
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("xipsaw-dec-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  fs::create_directories(dir);
  const Bytes cab = wrap_lzx_stream_in_cab(stream.data(), stream.size(), n);
  std::ofstream(dir / "in.cab", std::ios::binary).write(reinterpret_cast<const char*>(cab.data()), cab.size());
  const std::string cmd =
      "cabextract -q -d '" + (dir / "x").string() + "' '" + (dir / "in.cab").string() + "' >/dev/null 2>&1";
  const bool ok = std::system(cmd.c_str()) == 0;
  out = read_file((dir / "x" / "out.bin").string());
  fs::remove_all(dir);
  return ok;
}

bool have_cabextract() { return testkit::linux_program_missing("/usr/bin/cabextract").empty(); }

// Writes an LZX stream: 16-bit little-endian words, bits most significant first.
// Trees are sent through a fixed complete pretree, as plain deltas or, with
// runs set, with the run symbols 17, 18 and 19 wherever they fit.
class LzxWriter {
 public:
  bool runs = false;

  explicit LzxWriter(bool e8) {
    put(e8, 1);
    if (e8) put(uint32_t(lzx::kE8TranslationSize), 32);
  }
  void put(uint32_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
      acc_ = acc_ << 1 | (v >> i & 1);
      if (++count_ == 16) out_.push_back(uint8_t(acc_)), out_.push_back(uint8_t(acc_ >> 8)), acc_ = count_ = 0;
    }
  }
  void uncompressed(const Bytes& raw, std::array<uint32_t, 3> r) {
    put(lzx::kBlockUncompressed, 3);
    put(uint32_t(raw.size()), 24);
    put(0, 16 - count_);
    for (uint32_t v : r)
      for (int i = 0; i < 4; ++i) out_.push_back(uint8_t(v >> (8 * i)));
    out_.insert(out_.end(), raw.begin(), raw.end());
    if (raw.size() & 1) out_.push_back(0);
  }
  size_t bit_count() const { return out_.size() * 8 + count_; }
  // A verbatim block, or an aligned offset block when aligned lengths are given.
  void tree_block(uint32_t size, const Bytes& main, const Bytes& length, const Bytes& aligned = {}) {
    put(aligned.empty() ? lzx::kBlockVerbatim : lzx::kBlockAligned, 3);
    put(size, 24);
    for (uint8_t l : aligned) put(l, 3);
    send(main_.len, main, 0, 256);
    send(main_.len, main, 256, 512);
    send(length_.len, length, 0, 249);
    main_ = Code(main), length_ = Code(length), aligned_ = Code(aligned);
  }
  void literal(uint8_t b) { main_.put(*this, b); }
  void match(unsigned length, unsigned slot, uint32_t bits = 0, int aligned_sym = -1) {
    const unsigned header = std::min(length - 2, 7u);
    main_.put(*this, 256 + slot * 8 + header);
    if (header == 7) length_.put(*this, length - 9);
    const unsigned extra = lzx::kExtraBits[slot];
    put(bits, aligned_sym < 0 ? extra : extra - 3);
    if (aligned_sym >= 0) aligned_.put(*this, unsigned(aligned_sym));
  }
  void pretree_lengths() {
    for (uint8_t l : pretree_.len) put(l, 4);
  }
  void pre(unsigned s) { pretree_.put(*this, s); }
  // For trees a test sends itself: the codes of the symbols that follow.
  void use_codes(const Bytes& main, const Bytes& length) { main_ = Code(main), length_ = Code(length); }
  Bytes finish() {
    if (count_) put(0, 16 - count_);
    return out_;
  }

 private:
  struct Code {
    Bytes len;
    std::vector<uint32_t> code;
    Code() = default;
    explicit Code(const Bytes& lens) : len(lens), code(lens.size()) {
      uint32_t next = 0;
      for (unsigned l = 1; l <= 16; ++l, next <<= 1)
        for (size_t s = 0; s < lens.size(); ++s)
          if (lens[s] == l) code[s] = next++;
    }
    void put(LzxWriter& w, unsigned s) const { w.put(code.at(s), len.at(s)); }
  };
  void send(Bytes& prev, const Bytes& lens, unsigned first, unsigned last) {
    prev.resize(lens.size());
    pretree_lengths();
    for (unsigned x = first, same; x < last; x += same) {
      for (same = 1; x + same < last && lens[x + same] == lens[x] && same < 51;) ++same;
      const unsigned delta = (prev[x] + 17 - lens[x]) % 17;
      if (runs && lens[x] == 0 && same >= 20) {
        pre(18), put(same - 20, 5);
      } else if (runs && lens[x] == 0 && same >= 4) {
        same = std::min(same, 19u);
        pre(17), put(same - 4, 4);
      } else if (runs && same >= 4) {
        same = std::min(same, 5u);
        pre(19), put(same - 4, 1), pre(delta);  // the delta is taken from the first length only
      } else {
        same = 1;
        pre(delta);
      }
    }
    std::copy(lens.begin() + first, lens.begin() + last, prev.begin() + first);
  }
  const Code pretree_{[] {
    Bytes l(20, 4);
    std::fill(l.begin() + 12, l.end(), 5);
    return l;
  }()};
  Bytes out_;
  uint32_t acc_ = 0, count_ = 0;
  Code main_, length_, aligned_;
};

// Complete codes: every main symbol 9 bits; length symbols 0-6 7 bits, the rest 8.
const Bytes kMain9(512, 9);
const Bytes kLength78 = [] {
  Bytes l(249, 8);
  std::fill_n(l.begin(), 7, 7);
  return l;
}();

void copy_match(Bytes& out, size_t offset, size_t length) {
  for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - offset]);
}

void expect_decodes_like_cabextract(const Bytes& stream, const Bytes& expected) {
  Bytes out;
  ASSERT_EQ(decode_stream(stream, uint32_t(expected.size()), out), int32_t(expected.size()));
  EXPECT_EQ(out, expected);
  SKIP_WITHOUT_LINUX_PROGRAM("/usr/bin/cabextract");
  Bytes reference;
  ASSERT_TRUE(cabextract(stream, expected.size(), reference));
  EXPECT_EQ(reference, expected);
}

TEST(DecoderSamples, ExpandToListedSizeAndDigest) {
  const auto samples = load_samples();
  ASSERT_EQ(samples.size(), 6u);
  for (const auto& s : samples) {
    SCOPED_TRACE(s.name);
    Bytes out(s.capacity);
    ASSERT_EQ(decode(s.data, s.data.size(), out), int32_t(s.size));
    EXPECT_EQ(sha256_hex(out.data(), s.size), s.sha256);
  }
}

TEST(DecoderSamples, CapacityMustHoldTheSizeAndNothingBeyondIsWritten) {
  for (const auto& s : load_samples()) {
    SCOPED_TRACE(s.name);
    Bytes small(s.size - 1), big(s.size + 5000, 0xA5);
    EXPECT_LT(decode(s.data, s.data.size(), small), 0);
    ASSERT_EQ(decode(s.data, s.data.size(), big), int32_t(s.size));
    EXPECT_TRUE(std::all_of(big.begin() + s.size, big.end(), [](uint8_t b) { return b == 0xA5; }));
  }
}

TEST(DecoderMalformed, EveryTruncationFails) {
  for (const auto& s : load_samples()) {
    Bytes out(s.capacity);
    for (size_t len = 0; len < s.data.size(); ++len) ASSERT_LT(decode(s.data, len, out), 0) << s.name << " " << len;
  }
}

TEST(DecoderMalformed, BitFlipsNeverEscapeTheBuffers) {
  uint32_t rng = 12345;
  for (const auto& s : load_samples()) {
    Bytes out(s.capacity), flipped = s.data;
    for (int i = 0; i < 3000; ++i) {
      rng = rng * 1664525u + 1013904223u;
      const size_t bit = (rng >> 8) % (flipped.size() * 8);
      flipped[bit / 8] ^= uint8_t(1u << (bit % 8));
      EXPECT_LE(decode(flipped, flipped.size(), out), int32_t(s.capacity)) << s.name << " bit " << bit;
      flipped[bit / 8] ^= uint8_t(1u << (bit % 8));
    }
  }
}

TEST(DecoderMalformed, FramingThatDisagreesWithTheBlocks) {
  const auto samples = load_samples();
  const Bytes base = sample(samples, "coredll.section2.lzx").data;  // 11 blocks, headers from byte 36
  const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
      {"end offsets out of order", [](Bytes& b) { std::swap_ranges(b.begin() + 6, b.begin() + 9, b.begin() + 9); }},
      {"end offset inside the header", [](Bytes& b) { put_u24(b, 3, 36 + 15); }},
      {"last end offset beyond the buffer", [](Bytes& b) {
         put_u24(b, 33, uint32_t(b.size() + 2));
         b[(b[30] | b[31] << 8 | b[32] << 16) + 8] += 2;  // the last block's C agrees
       }},
      {"bytes after the last block", [](Bytes& b) { b.push_back(0), b.push_back(0); }},
      {"header size field", [](Bytes& b) { b[36] = 17; }},
      {"first size field", [](Bytes& b) { b[41] ^= 1; }},
      {"second size field", [](Bytes& b) { b[49] ^= 1; }},
      {"stream length field", [](Bytes& b) { b[44] += 2; }},
      {"U implies more blocks", [](Bytes& b) { b[1] += 0x10; }},
      {"U too small for the last block", [](Bytes& b) { b[0] -= 1; }},
  };
  for (const auto& [what, edit] : cases) {
    Bytes b = base, out(65536);
    edit(b);
    EXPECT_LT(decode(b, b.size(), out), 0) << what;
  }
  // An odd stream length, even with the framing adjusted to it.
  Bytes odd = sample(samples, "fsdmgr.section1.lzx").data, out(441);
  odd.push_back(0), odd[3] += 1, odd[14] += 1;
  EXPECT_LT(decode(odd, odd.size(), out), 0);
  Bytes none;
  EXPECT_EQ(decode(Bytes{0, 0, 0}, 3, none), 0);
  EXPECT_LT(decode(Bytes{0, 0, 0, 0}, 4, none), 0);
}

TEST(DecoderHandBuilt, UncompressedBlocksSetRepeatedOffsets) {
  Bytes raw1(37), raw2 = {'r', 'e', 'p', 'e', 'a', 't', 'e', 'd'};
  for (size_t i = 0; i < raw1.size(); ++i) raw1[i] = uint8_t(i * 29 + 3);
  // Leading literals put the end of the first uncompressed block's header on a
  // word boundary, so a whole padding word follows it.
  LzxWriter w(false);
  Bytes expected;
  LzxWriter probe(false);
  probe.tree_block(1, kMain9, kLength78);
  unsigned k = 1;
  while ((probe.bit_count() + 9 * k + 27) % 16 != 0) ++k;
  w.tree_block(k, kMain9, kLength78);
  for (unsigned i = 0; i < k; ++i) w.literal('L'), expected.push_back('L');
  w.uncompressed(raw1, {1, 1, 1});
  w.uncompressed(raw2, {5, 7, 9});
  w.tree_block(20, kMain9, kLength78);
  w.match(4, 0), w.match(3, 1), w.literal('Z'), w.match(12, 2);
  expected.insert(expected.end(), raw1.begin(), raw1.end());
  expected.insert(expected.end(), raw2.begin(), raw2.end());
  copy_match(expected, 5, 4), copy_match(expected, 7, 3), expected.push_back('Z'), copy_match(expected, 9, 12);
  expect_decodes_like_cabextract(w.finish(), expected);
}

TEST(DecoderHandBuilt, VerbatimThenAlignedWithChangedTrees) {
  // The second block changes every tree and sends it with run symbols; its
  // length tree has runs over previous lengths that differ.
  Bytes main2(512, 9), length2(kLength78.rbegin(), kLength78.rend());
  std::fill(main2.begin() + 128, main2.begin() + 256, 0);
  std::fill(main2.begin() + 256, main2.begin() + 384, 8);
  LzxWriter w(false);
  Bytes expected;
  w.tree_block(109, kMain9, kLength78);
  for (int i = 0; i < 100; ++i) w.literal(uint8_t(i * 37 + 11)), expected.push_back(uint8_t(i * 37 + 11));
  w.match(9, 4, 1), copy_match(expected, 3, 9);
  w.runs = true;
  w.tree_block(287, main2, length2, Bytes(8, 3));
  w.match(5, 12, 2, 5), copy_match(expected, 83, 5);    // aligned: 64 + (2 << 3) + 5 - 2
  w.match(3, 8, 0, 3), copy_match(expected, 17, 3);     // aligned only: 16 + 3 - 2
  w.match(2, 5, 1), copy_match(expected, 5, 2);         // too few extra bits for an aligned symbol
  w.match(20, 13, 0, 7), copy_match(expected, 101, 20);
  w.match(257, 0), copy_match(expected, 101, 257);
  expect_decodes_like_cabextract(w.finish(), expected);
}

TEST(DecoderHandBuilt, E8TranslationAfterTheStream) {
  Bytes raw(64, 0x90);
  auto call = [&](size_t at, int32_t v) {
    raw[at] = 0xE8;
    for (int i = 0; i < 4; ++i) raw[at + 1 + i] = uint8_t(uint32_t(v) >> (8 * i));
  };
  call(3, 100), call(10, -5), call(16, -17), call(22, 12000000), call(30, 11999999), call(35, -35), call(48, 7),
      call(54, 7);
  // 40 holds an out-of-range value whose first byte is an E8 with an in-range
  // value; that inner E8 is skipped.
  call(41, 0x80000000 >> 8), raw[40] = 0xE8, raw[44] = 0x80;
  LzxWriter w(true);
  w.uncompressed(raw, {1, 1, 1});
  Bytes expected = raw;
  auto value = [&](size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i) expected[at + 1 + i] = uint8_t(uint32_t(v) >> (8 * i));
  };
  value(3, 97), value(10, 11999995), value(30, 11999969), value(35, 11999965), value(48, -41);  // 54 lies in the last 10 bytes
  expect_decodes_like_cabextract(w.finish(), expected);
}

TEST(DecoderHandBuilt, InvalidStreamsFail) {
  Bytes incomplete = kMain9, single(512, 0), empty_length(249, 0);
  incomplete[511] = 0;
  single['A'] = 1;
  auto build = [](const Bytes& main, const Bytes& length, uint32_t size, const std::function<void(LzxWriter&)>& body) {
    LzxWriter w(false);
    w.tree_block(size, main, length);
    body(w);
    return w.finish();
  };
  auto literals = [](int count) {
    return [count](LzxWriter& w) { for (int i = 0; i < count; ++i) w.literal('A'); };
  };
  // A block of 16 literals whose first tree part is sent by part1 and the rest
  // plainly, for main lengths that form a complete code.
  auto hand_sent = [&](const Bytes& main, const std::function<void(LzxWriter&)>& part1) {
    LzxWriter w(false);
    w.put(lzx::kBlockVerbatim, 3), w.put(16, 24), w.pretree_lengths();
    part1(w);
    w.pretree_lengths();
    for (int i = 256; i < 512; ++i) w.pre((17 - main[i]) % 17);
    w.pretree_lengths();
    for (uint8_t l : kLength78) w.pre((17 - l) % 17);
    w.use_codes(main, kLength78);
    literals(16)(w);
    return w.finish();
  };
  // Complete codes: spill lacks 253-255 and has 256-258 at 8 bits; low4 lacks
  // 0-3 and has 4-7 at 8 bits.
  Bytes spill = kMain9, low4 = kMain9;
  std::fill(spill.begin() + 253, spill.begin() + 256, 0);
  std::fill(spill.begin() + 256, spill.begin() + 259, 8);
  std::fill(low4.begin(), low4.begin() + 4, 0);
  std::fill(low4.begin() + 4, low4.begin() + 8, 8);
  // Every case is framed as a 16-byte stream.
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"incomplete main tree", build(incomplete, kLength78, 16, literals(16))},
      {"single-symbol main tree", build(single, kLength78, 16, literals(16))},
      {"empty length tree used", build(kMain9, empty_length, 16, [&](LzxWriter& w) {
         w.literal('A'), w.match(9, 0), literals(6)(w);
       })},
      {"match before the start", build(kMain9, kLength78, 16, [&](LzxWriter& w) {
         w.literal('A'), w.match(7, 4, 1), literals(8)(w);
       })},
      {"match one byte before the start", build(kMain9, kLength78, 16, [&](LzxWriter& w) {
         w.literal('A'), w.match(7, 4, 0), literals(8)(w);  // offset 2 after one byte
       })},
      {"match past the block end", build(kMain9, kLength78, 16, [&](LzxWriter& w) { literals(12)(w), w.match(5, 0); })},
      {"block shorter than the stream", build(kMain9, kLength78, 8, literals(8))},
      {"block longer than the stream", build(kMain9, kLength78, 17, literals(17))},
      {"stream cut short", [&] {
         Bytes whole = build(kMain9, kLength78, 16, literals(16));
         return Bytes(whole.begin(), whole.end() - 2);
       }()},
      {"empty main tree used", build(Bytes(512, 0), kLength78, 16, [](LzxWriter& w) { w.put(0x1234, 16); })},
      {"empty aligned tree used", [&] {
         LzxWriter w(false);
         w.tree_block(16, kMain9, kLength78, Bytes(8, 0));
         literals(14)(w), w.match(2, 8, 0, -1);  // a slot with 3 extra bits needs an aligned symbol
         return w.finish();
       }()},
      // cabextract accepts a run that spills into the next part; it is refused here.
      {"zero run past the end of a tree part", hand_sent(spill, [](LzxWriter& w) {
         for (int i = 0; i < 253; ++i) w.pre(17 - 9);
         w.pre(17), w.put(0, 4);  // zeros for 253-256
       })},
      {"run symbol after symbol 19", hand_sent(low4, [](LzxWriter& w) {
         w.pre(19), w.put(0, 1), w.pre(17);  // would be 4 zeros for 0-3
         for (int i = 4; i < 256; ++i) w.pre((17 - kMain9[i] + (i < 8)) % 17);
       })},
  };
  for (const auto& [what, stream] : cases) {
    Bytes out;
    EXPECT_LT(decode_stream(stream, 16, out), 0) << what;
  }
  // cabextract agrees that a code with one used symbol is invalid.
  Bytes out;
  if (have_cabextract()) {
    EXPECT_FALSE(cabextract(cases[1].second, 16, out));
  }
  // Raw bytes of an uncompressed block that run past the stream.
  LzxWriter w(false);
  w.uncompressed(Bytes(8, 'x'), {1, 1, 1});
  const Bytes whole = w.finish();
  const Bytes cut(whole.begin(), whole.end() - 2);
  EXPECT_LT(decode_stream(cut, 8, out), 0);
}

TEST(DecoderHandBuilt, CabWrapperMatchesARealBlock) {
  SKIP_WITHOUT_LINUX_PROGRAM("/usr/bin/cabextract");
  const auto samples = load_samples();
  const Bytes& b = sample(samples, "user.hv.lzx").data;  // 8 blocks, the first from byte 27
  const uint32_t end = b[3] | b[4] << 8 | b[5] << 16;
  const Bytes stream(b.begin() + 27 + 16, b.begin() + end);
  Bytes ours(32768), reference;
  ASSERT_EQ(decode(b, b.size(), ours), 32768);
  ASSERT_TRUE(cabextract(stream, 4096, reference));
  EXPECT_EQ(reference, Bytes(ours.begin(), ours.begin() + 4096));
}

// A literal or a match of a hand-built block.
struct Op {
  int literal;  // -1 for a match
  unsigned length = 0, offset = 0;
};

// Writes ops as one verbatim block, or an aligned offset block whose aligned
// symbols all have 3 bits, with main and length code lengths main and
// kLength78. Returns the stream and its expansion (matches copied byte by
// byte, the reference for the decoder's wide copies).
std::pair<Bytes, Bytes> block_of(const std::vector<Op>& ops, const Bytes& main, bool aligned) {
  Bytes expected;
  for (const Op& op : ops) op.literal >= 0 ? expected.push_back(uint8_t(op.literal)) : copy_match(expected, op.offset, op.length);
  LzxWriter w(false);
  w.tree_block(uint32_t(expected.size()), main, kLength78, aligned ? Bytes(8, 3) : Bytes{});
  for (const Op& op : ops) {
    if (op.literal >= 0) {
      w.literal(uint8_t(op.literal));
      continue;
    }
    unsigned slot = lzx::kPositionSlots - 1;
    while (lzx::kPositionBase[slot] > op.offset + 2) --slot;
    const uint32_t bits = op.offset + 2 - lzx::kPositionBase[slot];
    if (aligned && lzx::kExtraBits[slot] >= 3) w.match(op.length, slot, bits >> 3, int(bits & 7));
    else w.match(op.length, slot, bits);
  }
  return {w.finish(), expected};
}

void expect_block_decodes(const std::vector<Op>& ops, const Bytes& main, bool aligned, const std::string& what) {
  const auto [stream, expected] = block_of(ops, main, aligned);
  Bytes out;
  ASSERT_EQ(decode_stream(stream, uint32_t(expected.size()), out), int32_t(expected.size())) << what;
  ASSERT_EQ(out, expected) << what;
}

TEST(DecoderHandBuilt, MatchesOverlappingTheirOutputUpToTheEnd) {
  // Every offset up to 20 (those below a copy chunk repeat their own output)
  // with lengths around the chunk sizes, ending 0 to 17 bytes before the end
  // of the exactly sized output, where whole chunks no longer fit.
  for (bool aligned : {false, true})
    for (unsigned offset = 1; offset <= 20; ++offset)
      for (unsigned length : {2u, 3u, 8u, 9u, 16u, 17u, 33u, 257u})
        for (unsigned tail : {0u, 1u, 7u, 8u, 15u, 16u, 17u}) {
          std::vector<Op> ops;
          for (unsigned i = 0; i < offset + 2; ++i) ops.push_back({int(i * 37 + 11) & 255});
          ops.push_back({-1, length, offset});
          for (unsigned i = 0; i < tail; ++i) ops.push_back({int(i)});
          expect_block_decodes(ops, kMain9, aligned,
                               "offset " + std::to_string(offset) + " length " + std::to_string(length) + " tail " +
                                   std::to_string(tail) + (aligned ? " aligned" : ""));
        }
}

TEST(DecoderHandBuilt, LongCodesAndFarMatchesAfterLiterals) {
  // Codes of 1 to 16 bits: 'A' and 'B' have the two 16-bit codes, the matches
  // of slot 23 (offsets 3070-4093, 10 extra bits) 15 and 14 bits. Two such
  // literals and a match take more bits than one refill holds, however they
  // fall on the stream.
  Bytes main(512, 0);
  for (unsigned l = 1; l <= 13; ++l) main['a' + l - 1] = uint8_t(l);
  main[256 + 23 * 8 + 7] = 14;  // with a length symbol
  main[256 + 23 * 8 + 1] = 15;  // length 3
  main['A'] = main['B'] = 16;
  for (bool aligned : {false, true}) {
    std::vector<Op> ops;
    for (unsigned i = 0; i < 3100; ++i) ops.push_back({i % 5 ? 'a' + int(i % 13) : 'A' + int(i % 2)});
    for (unsigned k = 0; k < 90; ++k) {
      for (unsigned i = 0; i < k % 4; ++i) ops.push_back({'A' + int((k + i) % 2)});
      ops.push_back({-1, k % 3 ? 3u : 9 + k % 20, 3070 + k * 7 % 31});
    }
    expect_block_decodes(ops, main, aligned, aligned ? "aligned" : "verbatim");
  }
}

TEST(DecoderHandBuilt, CodedBlockAfterAnUncompressedBlockFarIntoTheStream) {
  // Bit reading restarts after 2999 raw bytes (an odd count, so a padding
  // byte follows) far into the stream; the next block's matches reach back
  // into them.
  Bytes raw(2999), expected;
  uint32_t rng = 7;
  for (auto& b : raw) b = uint8_t((rng = rng * 1103515245u + 12345u) >> 16);
  LzxWriter w(false);
  w.tree_block(3, kMain9, kLength78);
  for (uint8_t b : {'x', 'y', 'z'}) w.literal(b), expected.push_back(b);
  w.uncompressed(raw, {1, 2, 3});
  expected.insert(expected.end(), raw.begin(), raw.end());
  w.tree_block(600, kMain9, kLength78, Bytes(8, 3));
  w.match(257, 0), copy_match(expected, 1, 257);                    // R0 = 1 from the raw block's header
  w.match(100, 2), copy_match(expected, 3, 100);                    // R2 = 3
  w.match(243, 22, (2900 + 2 - 2048) >> 3, (2900 + 2 - 2048) & 7), copy_match(expected, 2900, 243);
  expect_decodes_like_cabextract(w.finish(), expected);
}

// The E8 translation as the format describes it, byte by byte.
void undo_e8_reference(Bytes& b) {
  for (size_t i = 0; i + 10 < b.size();) {
    if (b[i] != 0xE8) {
      ++i;
      continue;
    }
    const int64_t a = int32_t(b[i + 1] | b[i + 2] << 8 | b[i + 3] << 16 | uint32_t(b[i + 4]) << 24);
    if (a >= -int64_t(i) && a < lzx::kE8TranslationSize) {
      const uint32_t v = uint32_t(a >= 0 ? a - int64_t(i) : a + lzx::kE8TranslationSize);
      for (int k = 0; k < 4; ++k) b[i + 1 + k] = uint8_t(v >> (8 * k));
    }
    i += 5;
  }
}

TEST(DecoderHandBuilt, E8TranslationUpToTheLastTenBytes) {
  // Streams of sizes around 10 and of a whole block, thick with E8 bytes
  // (calls inside calls, calls in and just before the last 10 bytes) and
  // values around the limits of the translation.
  uint32_t rng = 99;
  auto next = [&] { return rng = rng * 1664525u + 1013904223u; };
  for (size_t n : {1u, 9u, 10u, 11u, 12u, 15u, 16u, 21u, 4096u})
    for (int round = 0; round < 20; ++round) {
      Bytes raw(n);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t r = next();
        raw[i] = r % 3 == 0 ? 0xE8 : uint8_t(r >> 24 & 0x81);  // 0x00, 0x01, 0x80, 0x81: small and negative values
      }
      LzxWriter w(true);
      w.uncompressed(raw, {1, 1, 1});
      Bytes expected = raw, out;
      undo_e8_reference(expected);
      ASSERT_EQ(decode_stream(w.finish(), uint32_t(n), out), int32_t(n)) << n;
      ASSERT_EQ(out, expected) << n << " round " << round;
    }
}

}  // namespace
