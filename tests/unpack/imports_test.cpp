// What a disassembler reads from unpack's executables and from symbols:
// imports by ordinal named from the image's own DLLs, the bound words of
// the import address tables kept, tables whole in the file, and every
// export at the address the device runs it at.
#include <gtest/gtest.h>

#include "../modules/module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {

constexpr uint32_t kOrdinal = 0x80000000u;

// ordlib.dll exports Alpha (ordinal 1, code), Beta (2, data in RAM) and a
// function without a name (3). user.exe imports from it by ordinal, with
// words bound to addresses that lie in user.exe's own moving data; from a
// DLL the image lacks; and once more through a descriptor without a lookup
// table. Its import table ends in the zero descriptor that the image
// builder left out. stay.dll cannot lie at its run addresses.
RomBuilder imports_rom() {
  RomBuilder rom;
  RomModule& lib = rom.add_module("ordlib.dll");
  lib.e32.image_base = 0x10000000;
  lib.e32.entry_point = 0x1004;
  lib.e32.image_size = 0x3000;  // above the export RVA: the classic header layout
  Bytes exports = link_tables(lib, 0x2000, "ordlib.dll", {{"Alpha", 0x1000}, {"Beta", 0x2800}, {"", 0x1010}}, {});
  put_u32(exports, 24, 2);  // two names: the third function has none
  lib.sections = {plain(Bytes(0x20, 0xC3), 0x20, 0x1000, 0x60000020),
                  plain(exports, 0x1000, 0x2000, 0xC0000040)};
  lib.sections[1].run_address = 0x30000000;

  RomModule& user = rom.add_module("user.exe");
  user.e32.image_base = 0x10000;
  user.e32.entry_point = 0x1000;
  user.e32.image_size = 0x3000;
  Bytes t(0x100, 0);
  const uint32_t rva = 0x2000;
  auto words = [&](uint32_t at, std::vector<uint32_t> values) {
    for (size_t i = 0; i < values.size(); ++i) put_u32(t, at + 4 * i, values[i]);
    return rva + at;
  };
  const uint32_t bound1 = words(0x00, {0x2010, 0x2014, 0x2018}), bound2 = words(0x10, {0x2020});
  const uint32_t unbound = words(0x18, {kOrdinal | 2, rva + 0x3C});  // no lookup table: a loader reads these
  const uint32_t lookup1 = words(0x24, {kOrdinal | 1, kOrdinal | 3, kOrdinal | 2});
  const uint32_t lookup2 = words(0x34, {kOrdinal | 5});
  for (const auto& [at, text] : std::vector<std::pair<size_t, std::string>>{
           {0x3E, "ByName"}, {0x46, "ORDLIB.DLL"}, {0x52, "absent.dll"}, {0x5E, "ordlib.dll"}})
    std::copy(text.begin(), text.end(), t.begin() + at);
  const std::vector<std::array<uint32_t, 3>> descriptors{
      {lookup1, rva + 0x46, bound1}, {lookup2, rva + 0x52, bound2}, {0, rva + 0x5E, unbound}};
  for (size_t i = 0; i < descriptors.size(); ++i)
    words(0x6C + 20 * static_cast<uint32_t>(i), {descriptors[i][0], 0, 0, descriptors[i][1], descriptors[i][2]});
  t.resize(0x6C + 20 * 3);  // the zero descriptor is not stored
  user.e32.directories[1] = {rva + 0x6C, 20 * 4};
  user.sections = {plain(Bytes(0x10, 0x90), 0x10, 0x1000, 0x60000020), plain(t, 0x1000, rva, 0xC0000040)};
  user.sections[1].run_address = 0x40000000;

  RomModule& stay = rom.add_module("stay.dll");
  stay.e32.image_base = 0x20000000;
  stay.e32.entry_point = 0x1000;
  stay.e32.image_size = 0x3000;
  Bytes stay_exports = link_tables(stay, 0x1000, "stay.dll", {{"Stays", 0x1100}}, {});
  stay_exports.resize(0x180);
  stay.sections = {plain(stay_exports, 0x200, 0x1000, 0x60000020),
                   plain(Bytes(0x10, 1), 0x10, 0x2000, 0xC0000040)};
  stay.sections[1].run_address = 0x20001100;  // inside the code's stored bytes
  return rom;
}

TEST(Imports, ByOrdinalAreNamedAndTheBoundWordsKept) {
  SKIP_WITHOUT_PEFILE();
  RomBuilder rom = imports_rom();
  ToolRun run;
  run_on(run, rom, {"extract"});
  const ToolResult unpacked = run_tool({run.bin, "unpack", run.dir / "run"}, fake_codec_dir());
  EXPECT_EQ(unpacked.exit_code, 0) << unpacked.output;
  // The names go into a section of read-only data after the highest one.
  Pe pe{read_file(run.dir / "run/user.exe")};
  ASSERT_EQ(pe.names(), (std::vector<std::string>{".text1", ".data1", ".idata"}));
  const SectionHeader idata = pe.section(2);
  EXPECT_EQ(idata.characteristics, 0x40000040u);
  EXPECT_EQ(idata.virtual_address, 0x40001000u - pe.nt32(0x34));
  EXPECT_EQ(pe.nt32(0x50), idata.virtual_address + 0x1000);  // SizeOfImage
  // As pefile reads them, with no warning: the import table whole, the
  // import address tables' words as stored, ordinal 3 (no name) and the
  // absent DLL's ordinal as they were.
  const std::string pair = "{\"extracted\": \"" + run.out("user.exe") + "\", \"unpacked\": \"" + run.dir /
                           "run/user.exe" + "\", \"run_addresses\": [69632, 1073741824], \"imports\": "
                           "[[\"ORDLIB.DLL\", [\"Alpha\", 3, \"Beta\"]], [\"absent.dll\", [5]], "
                           "[\"ordlib.dll\", [\"Beta\", \"ByName\"]]]}";
  const std::string report = run_python_check(run, XIPSAW_CHECK_RUN_LAYOUT_SCRIPT, "[" + pair + "]");
  EXPECT_NE(report.find("checked 1 modules (0 exports, 6 imports), 0 mismatches"), std::string::npos) << report;
  // extract is as it was: no new section, and the table as stored.
  Pe extracted{run.file("user.exe")};
  EXPECT_EQ(extracted.section_count(), 2);
  EXPECT_EQ(extracted.section(1).raw_size, 0x6Cu + 60);
}

TEST(Imports, SymbolsAreAtTheAddressesUnpackGivesThem) {
  RomBuilder rom = imports_rom();
  ToolRun run;
  run_on(run, rom, {"unpack"});
  EXPECT_EQ(run.output,
            "Extracting ordlib.dll ...\nExtracting user.exe ...\nExtracting stay.dll ...\n"
            "stay.dll: written at its stored layout (the stored bytes of two of its sections overlap)\n");
  const ToolResult symbols = run_tool({run.bin, "SYMBOLS"}, fake_codec_dir());
  EXPECT_EQ(symbols.output,
            "user.exe!entry 0x00011000\n"
            "ordlib.dll!Alpha 0x10001000\n"
            "ordlib.dll!entry 0x10001004\n"
            "ordlib.dll!Ordinal_3 0x10001010\n"
            "stay.dll!entry 0x20001000\n"
            "stay.dll!Stays 0x20001100\n"
            "ordlib.dll!Beta 0x30000800\n");
  EXPECT_EQ(symbols.exit_code, 0);
  EXPECT_FALSE(symbols.waited);
  write_file(run.bin, bytes_of("no image"));
  EXPECT_EQ(run_tool({run.bin, "symbols"}, fake_codec_dir()).exit_code, 2);
}

}  // namespace
