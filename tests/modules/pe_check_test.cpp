// The rebuilt executables as an independent parser (python3-pefile) sees
// them: check_pe.py parses each file and compares its headers and section
// table with the layout the test expects.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "../codec/sha256.h"
#include "module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {

const char* const kPython = "/usr/bin/python3";

struct Expectation {
  std::string path;
  uint32_t time_date_stamp;
  uint32_t size_of_headers;
  std::vector<SectionHeader> sections;
  std::vector<std::string> sha256;  // of each section's data, when known
};

std::string to_json(const std::vector<Expectation>& files) {
  std::ostringstream j;
  j << "[";
  for (size_t f = 0; f < files.size(); ++f) {
    const Expectation& e = files[f];
    j << (f ? ",\n" : "\n") << "{\"path\": \"" << e.path << "\", \"time_date_stamp\": " << e.time_date_stamp
      << ", \"size_of_headers\": " << e.size_of_headers << ", \"sections\": [";
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

TEST(PeCheck, IndependentParserReadsEveryRebuiltExecutable) {
  SKIP_WITHOUT_LINUX_PROGRAM(kPython);
  if (std::system((std::string(kPython) + " -c 'import pefile' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << kPython << " cannot import pefile";

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
       {digest(pattern(0x1234, 1)), digest(pattern(0x300, 2)), digest({}), digest(pattern(0x200, 3))}},
      {run.out("beta.exe"), 0, 0x400, beta_sections(), {digest(pattern(0x20, 7))}},
      {run.out("wide.dll"), 1700000000, 0x800, wide_sections, wide_digests},
      {run.out("empty.dll"), 0, 0x200, {}, {}},
  };
  const std::string json = run.dir / "expected.json";
  const Bytes text = bytes_of(to_json(files));
  write_file(json, text);

  const std::string log = run.dir / "check.log";
  const std::string command =
      std::string(kPython) + " '" + XIPSAW_CHECK_PE_SCRIPT + "' '" + json + "' >'" + log + "' 2>&1";
  const int status = std::system(command.c_str());
  const Bytes report = read_file(log);
  EXPECT_EQ(status, 0) << std::string(report.begin(), report.end());
  EXPECT_NE(std::string(report.begin(), report.end()).find("checked 4 files, 0 mismatches"), std::string::npos);
}

}  // namespace
