// The executables rebuilt from the modules: every header field, the section
// names and layout, expansion through the fake and the real codec, and what
// each failure leaves on disk.
#include <gtest/gtest.h>

#include "../codec/sha256.h"
#include "module_testing.h"
#include "run/section_names.h"

using namespace testkit;
using namespace modtest;

namespace {

TEST(PeRebuild, TwoModulesFieldByField) {
  RomBuilder rom = two_module_rom();
  ToolRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting alpha.dll ...\nExtracting beta.exe ...\n");

  // DOS header, stub and the zeros before the NT headers.
  Pe a{run.file("alpha.dll")};
  ASSERT_EQ(a.bytes.size(), 0x2400u);
  Bytes dos(64, 0);
  for (auto [offset, value] : {std::pair{0x00, 0x5A4D}, {0x02, 0x90}, {0x04, 3}, {0x08, 4}, {0x0C, 0xFFFF},
                               {0x10, 0xB8}, {0x18, 0x40}, {0x3C, 0xC0}})
    put_u16(dos, offset, value);
  EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + 64), dos);
  Bytes stub{0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
  for (char c : std::string("This program cannot be run in DOS mode.\r\r\n$")) stub.push_back(c);
  stub.resize(64, 0);
  EXPECT_EQ(Bytes(a.bytes.begin() + 0x40, a.bytes.begin() + 0x80), stub);
  EXPECT_TRUE(a.zero(0x80, 0xC0));

  // NT headers: offset in the NT headers, width, value.
  const std::vector<std::tuple<int, int, uint32_t>> nt = {
      {0x00, 4, 0x4550},     {0x04, 2, 0x300},       {0x06, 2, 7},           {0x08, 4, kAlphaStamp},
      {0x0C, 4, 0},          {0x10, 4, 0},           {0x14, 2, 0xE0},        {0x16, 2, 0x2103},
      {0x18, 2, 0x10B},      {0x1A, 2, 0x0106},      {0x1C, 4, 0x2200},      {0x20, 4, 0x940},
      {0x24, 4, 0x100},      {0x28, 4, 0x1234},      {0x2C, 4, 0x1000},      {0x30, 4, 0x3000},
      {0x34, 4, 0x10000000}, {0x38, 4, 0x1000},      {0x3C, 4, 0x200},       {0x40, 4, 4},
      {0x44, 4, 0},          {0x48, 2, 4},           {0x4A, 2, 20},          {0x4C, 4, 0},
      {0x50, 4, 0x9000},     {0x54, 4, 0x400},       {0x58, 4, 0},           {0x5C, 2, 9},
      {0x5E, 2, 0},          {0x60, 4, 0x20000},     {0x64, 4, 0x1000},      {0x68, 4, 0x100000},
      {0x6C, 4, 0x1000},     {0x70, 4, 0},           {0x74, 4, 16}};
  for (auto [offset, width, value] : nt)
    EXPECT_EQ(width == 2 ? a.nt16(offset) : a.nt32(offset), value) << "NT headers + " << std::hex << offset;
  for (int d = 0; d < 16; ++d) {
    const bool carried = d <= 4 || d == 7 || d == 8;
    const std::array<uint32_t, 2> pair = d == 14   ? kAlphaCom
                                         : carried ? kAlphaDirectories[d]
                                                   : std::array<uint32_t, 2>{};
    EXPECT_EQ(a.directory_rva(d), pair[0]) << "directory " << d;
    EXPECT_EQ(a.directory_size(d), pair[1]) << "directory " << d;
  }

  // Section headers, their data and the zeros after the headers and after
  // each section's data.
  expect_sections(a, alpha_sections());
  EXPECT_TRUE(a.zero(0x1B8 + 7 * 40, 0x400));
  EXPECT_EQ(a.data(0), pattern(0x1234, 1));
  EXPECT_EQ(a.data(1), pattern(0x300, 2));
  EXPECT_EQ(a.data(3), pattern(0x200, 3));
  EXPECT_TRUE(a.zero(0x400 + 0x1234, 0x1800));
  EXPECT_TRUE(a.zero(0x1800 + 0x300, 0x1C00));
  EXPECT_TRUE(a.zero(0x2000 + 0x10, 0x2200));

  // The second module goes on with the run's counters; without a code
  // section its BaseOfCode is 0, and its time stamp is 1970's.
  Pe b{run.file("beta.exe")};
  expect_sections(b, beta_sections());
  EXPECT_EQ(b.bytes.size(), 0xA00u);
  EXPECT_EQ(b.nt32(0x08), 0u);
  EXPECT_EQ(b.nt16(0x16), 0x0001u);
  EXPECT_EQ(b.nt32(0x2C), 0u);
  EXPECT_EQ(b.nt32(0x30), 0x2000u);
  EXPECT_EQ(b.nt32(0x1C), 0u);
  EXPECT_EQ(b.nt32(0x20), 0x80u);
  EXPECT_EQ(b.directory_rva(5), 0u);
  EXPECT_EQ(b.directory_size(6), 0u);
}

TEST(PeRebuild, TwoSectionExampleEndsAt0x1C00) {
  RomBuilder rom;
  RomModule& m = rom.add_module("example.dll");
  m.sections.push_back(plain(pattern(0x1234, 5), 0x2000, 0x1000, 0x60000020));
  m.sections.push_back(fake_compressed(pattern(0x300, 6), 0x1000, 0x3000, 0xC0000040));
  ToolRun run;
  run_on(run, rom, {"extract"});
  Pe pe{run.file("example.dll")};
  EXPECT_EQ(pe.bytes.size(), 0x1C00u);
  EXPECT_EQ(pe.size_of_headers(), 0x400u);
  expect_sections(pe, {{".text", 0x2000, 0x1000, 0x1234, 0x400, 0x60000020},
                       {".data", 0x1000, 0x3000, 0x300, 0x1800, 0xC0000040}});
  EXPECT_EQ(pe.data(1), pattern(0x300, 6));
  EXPECT_TRUE(pe.zero(0x208, 0x400));
  EXPECT_TRUE(pe.zero(0x1634, 0x1800));
  EXPECT_TRUE(pe.zero(0x1B00, 0x1C00));
}

TEST(PeRebuild, SizeOfHeadersFollowsTheSectionCountBeyond32) {
  for (uint32_t count : {0u, 1u, 2u, 14u, 15u, 27u, 28u, 32u, 33u, 65535u}) {
    RomBuilder rom;
    RomModule& m = rom.add_module("many.dll");
    for (uint32_t i = 0; i < count; ++i) {
      RomSection s = plain({}, i + 1, 0x1000 * i, 0);
      s.data_address = rom.rom_header_address;  // located, nothing stored
      m.sections.push_back(s);
    }
    if (count == 0) m.o32offset = rom.rom_header_address;  // located even without sections
    ToolRun run;
    run_on(run, rom, {"extract"});
    Pe pe{run.file("many.dll")};
    const uint32_t expected = (0x1B8 + 40 * count + 0x1FF) / 0x200 * 0x200;
    EXPECT_EQ(pe.size_of_headers(), expected) << count;
    if (count <= 32) {
      EXPECT_EQ(expected, count < 2 ? 0x200u : count < 15 ? 0x400u : count < 28 ? 0x600u : 0x800u);
    }
    EXPECT_EQ(pe.bytes.size(), expected) << count;
    ASSERT_EQ(pe.section_count(), count);
    if (count == 0) continue;
    SectionHeader last = pe.section(count - 1);
    EXPECT_EQ(last.virtual_size, count);
    EXPECT_EQ(last.virtual_address, 0x1000 * (count - 1));
    EXPECT_EQ(last.raw_pointer, expected);
    if (count > 100) {
      EXPECT_EQ(pe.section(100).name, ".other10");  // 8 characters, no NUL
    }
  }
}

TEST(PeRebuild, NamesByKindAndTheEightCharacterCut) {
  xipsaw::SectionNameCounters names;
  EXPECT_EQ(names.next(xipsaw::kText), ".text");
  EXPECT_EQ(names.next(xipsaw::kText), ".text1");
  EXPECT_EQ(names.next(xipsaw::kRsrc), ".rsrc");
  names.counters[xipsaw::kOther] = 100;
  names.counters[xipsaw::kPdata] = 100;
  names.counters[xipsaw::kText] = 1000;
  names.counters[xipsaw::kData] = 99;
  EXPECT_EQ(names.next(xipsaw::kOther), ".other10");
  EXPECT_EQ(names.next(xipsaw::kPdata), ".pdata10");
  EXPECT_EQ(names.next(xipsaw::kText), ".text100");
  EXPECT_EQ(names.next(xipsaw::kData), ".data99");
  EXPECT_EQ(names.next(xipsaw::kData), ".data100");
  EXPECT_EQ(names.counters[xipsaw::kText], 1001);
}

TEST(PeRebuild, ModuleTimeIsOneLittleEndian64BitCount) {
  RomBuilder rom;
  add_marked(rom, "a.dll", 1).file_time = 116444736000000000ull + 9999999;  // truncated to 1970-01-01
  add_marked(rom, "b.dll", 2).file_time = (946684800ull + 11644473600ull) * 10000000;  // 2000-01-01
  add_marked(rom, "c.dll", 3).file_time = 0;  // 1601: before 1970, modulo 2^32
  ToolRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(Pe{run.file("a.dll")}.nt32(0x08), 0u);
  EXPECT_EQ(Pe{run.file("b.dll")}.nt32(0x08), 946684800u);
  EXPECT_EQ(Pe{run.file("c.dll")}.nt32(0x08), 0x49EF6F00u);
}

TEST(PeRebuild, RealCompressedSectionsExpandThroughTheLibrary) {
  const std::string samples = XIPSAW_SAMPLES_DIR;
  RomBuilder rom;
  RomModule& m = rom.add_module("coredll.dll");
  RomSection code = plain(read_file(samples + "/coredll.section1.lzx"), 4068, 0x1000, 0x60000020 | 0x2000);
  RomSection data = plain(read_file(samples + "/fsdmgr.section1.lzx"), 916, 0x2000, 0xC0000040 | 0x2000);
  m.sections = {code, data};
  ToolRun run;
  run_on(run, rom, {"extract"}, real_codec_dir());
  EXPECT_EQ(run.output, "Extracting coredll.dll ...\n");
  Pe pe{run.file("coredll.dll")};
  expect_sections(pe, {{".text", 4068, 0x1000, 3228, 0x400, 0x60000020},
                       {".data", 916, 0x2000, 441, 0x1200, 0xC0000040}});
  Bytes d0 = pe.data(0), d1 = pe.data(1);
  EXPECT_EQ(sha256_hex(d0.data(), d0.size()), "eed735d78322cb2dc7e09adaec19ef6793ec562ed5ce1ab2f9948699669bef13");
  EXPECT_EQ(sha256_hex(d1.data(), d1.size()), "3bda6129ed0d25c7826bc185707d9add77653775d24b8861f31260b42b18d069");
  EXPECT_EQ(pe.bytes.size(), 0x1400u);
}

TEST(PeRebuild, FailedExpansionsAndShortSectionsGoOn) {
  RomBuilder rom;
  RomModule& m = rom.add_module("odd.dll");
  m.sections.push_back(plain(Bytes{'X', 1, 2, 3}, 0x100, 0x1000, 0x20 | 0x2000));     // not the codec's format
  m.sections.push_back(fake_compressed(pattern(0x20, 7), 0x1F, 0x2000, 0x40));        // capacity too small
  RomSection short_section = plain(pattern(0x31, 8), 0x10000, 0x3000, 0x40);
  short_section.stored_size = 0x10000;
  short_section.data_address = 0x90000000;  // a record of its own, nothing after it
  m.sections.push_back(short_section);
  m.sections.push_back(fake_compressed(pattern(0x10, 9), 0x10, 0x4000, 0x40));
  // Nothing stored: no data address to locate (a loader cut where its
  // empty section begins).
  m.sections.push_back(plain({}, 0x10, 0x5000, 0x40));
  m.sections.back().data_address = 0x10;
  add_marked(rom, "next.dll", 9);
  ToolRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output,
            "Extracting odd.dll ...\nError in CEDecompress()\nError in CEDecompress()\nExtracting next.dll ...\n");
  Pe pe{run.file("odd.dll")};
  expect_sections(pe, {{".text", 0x100, 0x1000, 0, 0x400, 0x20},
                       {".data", 0x1F, 0x2000, 0, 0x400, 0x40},
                       {".data1", 0x10000, 0x3000, 0x31, 0x400, 0x40},
                       {".data2", 0x10, 0x4000, 0x10, 0x600, 0x40},
                       {".data3", 0x10, 0x5000, 0, 0x800, 0x40}});
  EXPECT_EQ(pe.data(2), pattern(0x31, 8));
  EXPECT_EQ(pe.size_of_headers(), 0x400u);
  EXPECT_EQ(pe.bytes.size(), 0x800u);
}

TEST(PeRebuild, EachFailureLeavesWhatWasWrittenAndEndsThePass) {
  struct Case {
    const char* what;
    void (*spoil)(RomModule&);
    const char* message;
    bool before_headers;  // nothing written at all
    bool no_file = false;  // nor any file opened
  };
  const Case cases[] = {
      {"e32", [](RomModule& m) { m.emit_e32 = false; }, "Unable to locate e32offset\n", true},
      {"o32", [](RomModule& m) { m.emit_o32 = false; }, "Unable to locate o32offset\n", true},
      {"section count", [](RomModule& m) { m.e32.section_count = 58853; }, "Unable to read block file\n", true, true},
      {"data", [](RomModule& m) { m.sections[1].emit_data = false; }, "Unable to read block file\n", false},
  };
  for (const Case& c : cases) {
    RomBuilder rom;
    RomModule& m = rom.add_module("bad.dll");
    m.sections.push_back(plain(pattern(0x11, 1), 0x11, 0x1000, 0x20));
    m.sections.push_back(plain(pattern(0x20, 2), 0x20, 0x2000, 0x40));
    m.sections.push_back(plain(pattern(0x20, 3), 0x20, 0x3000, 0x40));
    c.spoil(m);
    add_marked(rom, "next.dll", 9);
    ToolRun run;
    run_on(run, rom, {"extract"});
    EXPECT_EQ(run.output, std::string("Extracting bad.dll ...\n") + c.message) << c.what;
    EXPECT_FALSE(file_exists(run.out("next.dll"))) << c.what;
    EXPECT_EQ(file_exists(run.out("bad.dll")), !c.no_file) << c.what;
    if (c.no_file) continue;
    Pe pe{run.file("bad.dll")};
    if (c.before_headers) {
      EXPECT_TRUE(pe.bytes.empty()) << c.what;
      continue;
    }
    // The headers and the first section's data; the failing section's and
    // later fields and SizeOfHeaders stay 0.
    ASSERT_EQ(pe.bytes.size(), 0x600u) << c.what;
    EXPECT_EQ(pe.size_of_headers(), 0u);
    EXPECT_EQ(pe.section(0).raw_size, 0x11u);
    EXPECT_EQ(pe.section(0).raw_pointer, 0x400u);
    EXPECT_EQ(pe.data(0), pattern(0x11, 1));
    for (size_t i : {1, 2}) {
      EXPECT_EQ(pe.section(i).raw_size, 0u) << c.what;
      EXPECT_EQ(pe.section(i).raw_pointer, 0u) << c.what;
      EXPECT_EQ(pe.section(i).virtual_address, 0x1000u * (i + 1));
    }
  }
}

}  // namespace

namespace {

// The two-module layout with a third module, in either E32 layout, built
// for an ARM image. alpha and gamma carry link time stamps, beta does not.
RomBuilder three_module_rom(bool newer) {
  RomBuilder rom = two_module_rom();
  rom.newer_e32 = newer;
  rom.cpu_type = 0x01C2;
  rom.modules[0].e32.time_stamp = 0x55FC8195;
  rom.modules[0].e32.subsystem = 2;
  add_marked(rom, "gamma.dll", 3).e32.time_stamp = 0x3C864EE4;
  return rom;
}

TEST(PeRebuild, NewerLayoutRebuildsAsTheClassicOneAndMachineIsTheImagesCpu) {
  ToolRun classic, newer;
  RomBuilder classic_rom = three_module_rom(false), newer_rom = three_module_rom(true);
  run_on(classic, classic_rom, {"extract"});
  run_on(newer, newer_rom, {"extract"});
  ASSERT_EQ(newer.output, "Extracting alpha.dll ...\nExtracting beta.exe ...\nExtracting gamma.dll ...\n");
  // Directories, subsystem and section names come from where the newer
  // header keeps them, beta's too although it has no time stamp: each
  // module comes out as from the classic image.
  for (const char* name : {"alpha.dll", "beta.exe", "gamma.dll"}) EXPECT_EQ(newer.file(name), classic.file(name)) << name;
  Pe a{newer.file("alpha.dll")};
  EXPECT_EQ(a.nt16(0x04), 0x01C2u);
  EXPECT_EQ(a.nt16(0x5C), 2u);
  for (int d : {0, 1, 2, 3, 4, 7, 8}) {
    EXPECT_EQ(a.directory_rva(d), kAlphaDirectories[d][0]) << d;
    EXPECT_EQ(a.directory_size(d), kAlphaDirectories[d][1]) << d;
  }
  EXPECT_EQ(a.directory_rva(14), kAlphaCom[0]);
  expect_sections(a, alpha_sections());
  expect_sections(Pe{newer.file("beta.exe")}, beta_sections());

  // The decision is the image's, whichever modules are selected: beta alone
  // is still read in the newer layout (its exception pair names .pdata).
  ToolRun alone;
  run_on(alone, newer_rom, {"extract", "beta.exe"});
  Pe b{alone.file("beta.exe")};
  EXPECT_EQ(b.directory_rva(3), 0x3000u);
  EXPECT_EQ(b.directory_size(3), 0x8u);
  EXPECT_EQ(b.section(2).name, ".pdata");
  EXPECT_EQ(b.nt16(0x5C), 9u);
}

TEST(PeRebuild, ClassicLayoutUnlessMostModulesHoldATimeStamp) {
  // One stamped module of two is no majority; the classic image keeps its
  // directories where they are, and Machine 0x0300 without a CPU type.
  RomBuilder rom = two_module_rom();
  rom.newer_e32 = false;
  rom.modules[1].e32.directories[0] = {0x7FFFFFF0, 0};  // an odd export RVA beyond the image
  ToolRun run;
  run_on(run, rom, {"extract"});
  Pe a{run.file("alpha.dll")};
  EXPECT_EQ(a.nt16(0x04), 0x0300u);
  EXPECT_EQ(a.directory_rva(0), kAlphaDirectories[0][0]);
  expect_sections(a, alpha_sections());
}

}  // namespace
