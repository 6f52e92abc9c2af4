// The rebuilt executables as an independent parser (python3-pefile) sees
// them: check_pe.py parses each file and compares its headers and section
// table with the layout the test expects.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "../codec/sha256.h"
#include "module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {


struct Expectation {
  std::string path;
  uint32_t time_date_stamp;
  uint32_t size_of_headers;
  std::vector<SectionHeader> sections;
  std::vector<std::string> sha256;  // of each section's data, when known
  uint32_t machine = 0x300;
  std::vector<std::string> imports, exports;  // checked when either is given
};

std::string json_list(const std::vector<std::string>& names) {
  std::string list = "[";
  for (size_t i = 0; i < names.size(); ++i) list += (i ? ", \"" : "\"") + names[i] + "\"";
  return list + "]";
}

std::string to_json(const std::vector<Expectation>& files) {
  std::ostringstream j;
  j << "[";
  for (size_t f = 0; f < files.size(); ++f) {
    const Expectation& e = files[f];
    j << (f ? ",\n" : "\n") << "{\"path\": \"" << e.path << "\", \"time_date_stamp\": " << e.time_date_stamp
      << ", \"size_of_headers\": " << e.size_of_headers << ", \"machine\": " << e.machine;
    if (!e.imports.empty() || !e.exports.empty())
      j << ", \"imports\": " << json_list(e.imports) << ", \"exports\": " << json_list(e.exports);
    j << ", \"sections\": [";
    for (size_t i = 0; i < e.sections.size(); ++i) {
      const SectionHeader& s = e.sections[i];
      j << (i ? ", " : "") << "{\"name\": \"" << s.name << "\", \"virtual_size\": " << s.virtual_size
        << ", \"virtual_address\": " << s.virtual_address << ", \"size_of_raw_data\": " << s.raw_size
        << ", \"pointer_to_raw_data\": " << s.raw_pointer << ", \"characteristics\": " << s.characteristics;
      if (i < e.sha256.size()) j << ", \"sha256\": \"" << e.sha256[i] << "\"";
      j << "}";
    }
    j << "]}";
  }
  j << "\n]\n";
  return j.str();
}

std::string digest(const Bytes& b) { return sha256_hex(b.data(), b.size()); }

// Runs check_pe.py on the files and expects no mismatch.
void expect_parsed(const ToolRun& run, const std::vector<Expectation>& files) {
  const std::string report = run_python_check(run, XIPSAW_CHECK_PE_SCRIPT, to_json(files));
  EXPECT_NE(report.find("checked " + std::to_string(files.size()) + " files, 0 mismatches"), std::string::npos)
      << report;
}

TEST(PeCheck, IndependentParserReadsEveryRebuiltExecutable) {
  SKIP_WITHOUT_PEFILE();

  // The two modules of the field-by-field test, then one of 40 sections
  // (code of growing sizes, one of them failing to expand) and one without
  // sections.
  RomBuilder rom = two_module_rom();
  RomModule& wide = rom.add_module("wide.dll");
  wide.file_time = (1700000000ull + 11644473600ull) * 10000000;
  std::vector<SectionHeader> wide_sections;
  std::vector<std::string> wide_digests;
  uint32_t offset = 0x800;  // 0x1B8 + 40 * 40 rounded up
  for (uint32_t i = 0; i < 40; ++i) {
    const Bytes data = pattern(i * 97 + 1, static_cast<uint8_t>(i));
    const bool fails = i == 13;
    RomSection s = fails ? plain(Bytes{'X'}, 0x100, 0x1000 * (i + 1), 0x60002020)
                         : plain(data, 0x10000, 0x1000 * (i + 1), 0x60000020);
    wide.sections.push_back(s);
    const uint32_t raw = fails ? 0 : static_cast<uint32_t>(data.size());
    wide_sections.push_back({".text" + std::to_string(i + 2), s.virtual_size, s.rva, raw, offset, 0x60000020});
    wide_digests.push_back(digest(fails ? Bytes{} : data));
    offset += (raw + 0x1FF) / 0x200 * 0x200;
  }
  RomModule& empty = rom.add_module("empty.dll");
  empty.o32offset = rom.rom_header_address;  // located; no sections to read there
  empty.file_time = 116444736000000000ull;

  ToolRun run;
  run_on(run, rom, {"extract"});
  ASSERT_EQ(run.output.find("Unable"), std::string::npos) << run.output;

  const std::vector<Expectation> files = {
      {run.out("alpha.dll"), kAlphaStamp, 0x400, alpha_sections(),
       {digest(pattern(0x1234, 1)), digest(pattern(0x300, 2)), digest({}), digest(pattern(0x200, 3))}, 0x300, {}, {}},
      {run.out("beta.exe"), 0, 0x400, beta_sections(), {digest(pattern(0x20, 7))}, 0x300, {}, {}},
      {run.out("wide.dll"), 1700000000, 0x800, wide_sections, wide_digests, 0x300, {}, {}},
      {run.out("empty.dll"), 0, 0x200, {}, {}, 0x300, {}, {}},
  };
  expect_parsed(run, files);
}

TEST(PeCheck, IndependentParserFindsTheLinkTablesInBothLayouts) {
  SKIP_WITHOUT_PEFILE();
  std::vector<Expectation> files;
  std::vector<std::unique_ptr<ToolRun>> runs;
  for (const bool newer : {false, true}) {
    RomBuilder rom;
    rom.newer_e32 = newer;
    rom.cpu_type = newer ? 0x01C2 : 0x0166;
    RomModule& m = rom.add_module("fsd.dll");
    m.file_time = 116444736000000000ull;
    m.e32.time_stamp = 0x4A5B6C7D;
    m.e32.image_size = 0x3000;
    m.e32.entry_point = 0x1000;
    m.e32.image_flags = 0x2102;
    const Bytes code(0x40, 0xC3);
    const Bytes tables = link_tables(m, 0x2000, "fsd.dll", {{"FSD_MountDisk", 0x1000}, {"FSD_UnmountDisk", 0x1010}},
                                     {"COREDLL.dll", "FSDMGR.dll"});
    m.sections = {plain(code, 0x40, 0x1000, 0x60000020), plain(tables, 0x200, 0x2000, 0x40000040)};
    runs.push_back(std::make_unique<ToolRun>());
    run_on(*runs.back(), rom, {"extract"});
    files.push_back({runs.back()->out("fsd.dll"), 0, 0x400,
                     {{".text", 0x40, 0x1000, 0x40, 0x400, 0x60000020},
                      {".data", 0x200, 0x2000, static_cast<uint32_t>(tables.size()), 0x600, 0x40000040}},
                     {digest(code), digest(tables)}, rom.cpu_type, {"COREDLL.dll", "FSDMGR.dll"},
                     {"FSD_MountDisk", "FSD_UnmountDisk"}});
  }
  ToolRun checks;
  expect_parsed(checks, files);
}

}  // namespace
