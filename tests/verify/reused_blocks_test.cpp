// Hostile images whose entries reuse one header or one compressed buffer:
// extract, unpack and verify expand and write each block once, name every
// entry that reuses one, and verify's report stays bounded with its count
// exact.
#include <gtest/gtest.h>

#include <filesystem>

#include "../modules/module_testing.h"
#include "lzx_encoder.h"
#include "run/used_blocks.h"

using namespace testkit;
using modtest::plain;

namespace {

// A module of many plain sections, its data at addresses of their own
// (held, or in no record), and more modules over its two headers.
// "m7.dll" and the like.
std::string numbered(const char* prefix, uint32_t n, const char* suffix) {
  std::string name(prefix);
  name.append(std::to_string(n)).append(suffix);
  return name;
}

// Blocks that entries share lie here, away from what the builder lays out.
constexpr uint32_t kShared = 0x80800000;
constexpr uint32_t kO32Bytes = 24;

RomBuilder modules_over_one_header(uint32_t modules, uint32_t sections, bool held) {
  RomBuilder rom;
  for (uint32_t m = 0; m < modules; ++m) {
    RomModule& module = rom.add_module(numbered("m", m, ".dll"));
    module.e32offset = kShared;
    module.o32offset = kShared + 0x100;
    module.emit_e32 = module.emit_o32 = m == 0;
  }
  for (uint32_t s = 0; s < sections; ++s) {
    RomSection section = plain(Bytes(16, static_cast<uint8_t>(s)), 0x1000, 0x1000 * (s + 1), 0x40);
    section.data_address = (held ? kShared + 0x100000 : 0x90000000) + 16 * s;
    section.emit_data = held;
    rom.modules[0].sections.push_back(section);
  }
  return rom;
}

// One compressed buffer that expands to 1 MiB.
Bytes packed_mebibyte() {
  Bytes data(1u << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * i) >> 9);
  Bytes packed(data.size() + data.size() / 8 + 1024);
  const int32_t n = lzx::compress_buffer(data.data(), static_cast<uint32_t>(data.size()), packed.data(),
                                         static_cast<uint32_t>(packed.size()));
  packed.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return packed;
}

uint64_t bytes_below(const std::string& dir) {
  uint64_t total = 0;
  if (std::filesystem::exists(dir))
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
      if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

size_t lines_of(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Every byte a block shares with earlier ones counts, one at the end of an
// earlier block too: the budget spent exactly, the next shared byte is
// refused.
TEST(ReusedBlocks, EveryByteSharedCountsAgainstTheBudget) {
  using Use = xipsaw::UsedBlocks::Use;
  xipsaw::UsedBlocks used;
  uint32_t earlier = 0;
  const auto budget = static_cast<uint32_t>(xipsaw::UsedBlocks::kSharedBudget);
  EXPECT_EQ(used.use(0x10000, budget, 1, earlier), Use::first);
  EXPECT_EQ(used.use(0x10000 + budget - 1, 2, 2, earlier), Use::first);  // its last byte
  EXPECT_EQ(used.use(0x10001, budget - 1, 3, earlier), Use::first);
  EXPECT_EQ(used.use(0x10002, 1, 4, earlier), Use::reused);
}

TEST(ReusedBlocks, EachBlockIsExpandedAndWrittenOnceAndEveryReuseIsNamed) {
  struct Case {
    const char* what;
    RomBuilder rom;
    std::string reuse;  // the line naming the first entry that reuses a block
    uint32_t reusing;   // entries that reuse a block
  };
  std::vector<Case> cases;
  cases.push_back({"modules over one header, sections held", modules_over_one_header(64, 4096, true),
                   "m1.dll reuses the data of m0.dll\n", 63});
  cases.push_back({"modules over one header, sections in no record", modules_over_one_header(64, 4096, false),
                   "m1.dll reuses the data of m0.dll\n", 63});
  const Bytes packed = packed_mebibyte();
  {
    RomBuilder rom;  // one module whose sections all expand one buffer
    RomModule& m = rom.add_module("wide.dll");
    for (uint32_t s = 0; s < 64; ++s) {
      m.sections.push_back(plain(packed, 1u << 20, 0x1000 + (s << 20), 0x40 | 0x2000));
      m.sections.back().data_address = kShared;
      m.sections.back().emit_data = s == 0;
    }
    cases.push_back({"sections over one compressed buffer", rom, "wide.dll reuses the data of wide.dll\n", 1});
  }
  {
    RomBuilder rom;  // files over one compressed buffer
    for (uint32_t f = 0; f < 64; ++f) {
      RomFile& file = rom.add_file(numbered("f", f, ".bin"), packed, 0x800);
      file.real_size = 1u << 20;
      file.load_offset = kShared;
      file.emit_data = f == 0;
    }
    cases.push_back({"files over one compressed buffer", rom, "f1.bin reuses the data of f0.bin\n", 63});
  }

  // Entries 128 bytes apart in one run of 256 KiB, each to its end: the
  // first five share 1 MiB less 1,280 bytes with earlier ones, the sixth
  // would share more.
  cases.push_back({"files inside one run", files_inside_one_run(2000, kShared), "f5.bin reuses the data of f0.bin\n",
                   1995});
  cases.push_back({"sections inside one run", sections_inside_one_run(2000, kShared),
                   "run.dll reuses the data of run.dll\n", 1});
  {
    RomBuilder rom;  // modules over successive section tables of 4,096 empty sections
    for (uint32_t m = 0; m < 1000; ++m) {
      RomModule& module = rom.add_module(numbered("m", m, ".dll"));
      module.e32.section_count = 4096;
      module.o32offset = kShared + kO32Bytes * m;
      module.emit_o32 = m == 0;
    }
    for (uint32_t s = 0; s < 4096 + 1000; ++s) rom.modules[0].sections.push_back(plain({}, 0x10, 0x1000, 0x40));
    cases.push_back({"modules over one table", rom, "m11.dll reuses the data of m0.dll\n", 989});
  }

  for (Case& c : cases) {
    modtest::ToolRun run;
    c.rom.layout().write(run.bin);
    const uint64_t most = 200 * std::filesystem::file_size(run.bin) + (2u << 20);
    // extract stops at its first failure, which may come before any reuse.
    run_tool({run.bin, "extract"}, real_codec_dir());
    EXPECT_LE(bytes_below(run.out("")), most) << c.what;

    const ToolResult unpacked = run_tool({run.bin, "unpack", run.dir / "run"}, real_codec_dir());
    size_t named = 0;
    for (size_t at = 0; (at = unpacked.output.find(" reuses the data of ", at)) != std::string::npos; ++at) ++named;
    EXPECT_EQ(named, c.reusing) << c.what;
    EXPECT_EQ(unpacked.exit_code, 1) << c.what;
    EXPECT_LE(bytes_below(run.dir / "run"), most) << c.what;

    const ToolResult verified = run_tool({run.bin, "verify"}, real_codec_dir());
    EXPECT_NE(verified.output.find(c.reuse.substr(0, c.reuse.size() - 1)), std::string::npos) << c.what;
    EXPECT_LE(lines_of(verified.output), 10002u) << c.what;
    EXPECT_EQ(verified.exit_code, 1) << c.what;
  }
}

TEST(ReusedBlocks, VerifyPrintsAHundredLinesAnEntryAndTenThousandInAllWithTheCountExact) {
  // 120 modules of 100 sections each, every section's data in no record:
  // 12,000 problems, of which 10,000 are printed, 100 for each module.
  RomBuilder rom;
  for (uint32_t m = 0; m < 120; ++m) {
    RomModule& module = rom.add_module(numbered("m", m, ".dll"));
    for (uint32_t s = 0; s < 101; ++s) {
      RomSection section = plain({}, 0x10, 0x1000 * (s + 1), 0x40);
      section.stored_size = 0x10;
      section.data_address = 0x90000000 + 0x10 * (101 * m + s);
      module.sections.push_back(section);
    }
  }
  modtest::ToolRun run;
  rom.layout().write(run.bin);
  const ToolResult r = run_tool({run.bin, "verify"}, fake_codec_dir());
  EXPECT_EQ(lines_of(r.output), 10002u);
  EXPECT_NE(r.output.find("\n... and 2120 more problems\n1 images, "), std::string::npos);
  EXPECT_NE(r.output.find(": 12120 problems\n"), std::string::npos);
  EXPECT_EQ(r.output.find("m0.dll: section 100's"), std::string::npos);  // the 101st of one module
  EXPECT_NE(r.output.find("m99.dll: section 99's"), std::string::npos);
  EXPECT_EQ(r.output.find("m100.dll: section 0's"), std::string::npos);
}

}  // namespace
