// Shared by the module tests: running the tool on a ROM layout and reading
// the fields of the executables it writes.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tool_run.h"

namespace modtest {

using testkit::Bytes;

// A ROM layout written as <dir>/nk.bin and run through the tool; its
// output directory is <dir>/nk.
struct ToolRun {
  testkit::TempDir dir;
  std::string bin = dir / "nk.bin";
  std::string output;

  std::string out(const std::string& name) const { return dir.path() + "/nk/" + name; }
  Bytes file(const std::string& name) const { return testkit::read_file(out(name)); }
};

inline void run_on(ToolRun& run, const testkit::BinBuilder& bin, const std::vector<std::string>& command,
                   const std::string& library_dir = testkit::fake_codec_dir()) {
  bin.write(run.bin);
  std::vector<std::string> args{run.bin};
  args.insert(args.end(), command.begin(), command.end());
  run.output = testkit::run_tool(args, library_dir).output;
}

inline void run_on(ToolRun& run, testkit::RomBuilder& rom, const std::vector<std::string>& command,
                   const std::string& library_dir = testkit::fake_codec_dir()) {
  run_on(run, rom.layout(), command, library_dir);
}

// A section header of a PE file as written.
struct SectionHeader {
  std::string name;  // up to its first NUL, at most 8 characters
  uint32_t virtual_size, virtual_address, raw_size, raw_pointer, characteristics;
};

// Fields of a PE file by their offsets in the NT headers at 0xC0.
struct Pe {
  Bytes bytes;

  uint16_t u16(size_t offset) const { return testkit::get_u16(bytes, offset); }
  uint32_t u32(size_t offset) const { return testkit::get_u32(bytes, offset); }
  uint16_t nt16(size_t offset) const { return u16(0xC0 + offset); }
  uint32_t nt32(size_t offset) const { return u32(0xC0 + offset); }
  uint32_t directory_rva(int i) const { return nt32(0x78 + 8 * i); }
  uint32_t directory_size(int i) const { return nt32(0x7C + 8 * i); }
  uint32_t size_of_headers() const { return nt32(0x54); }
  uint16_t section_count() const { return nt16(0x06); }

  SectionHeader section(size_t i) const {
    const size_t at = 0x1B8 + 40 * i;
    std::string name(reinterpret_cast<const char*>(&bytes[at]), 8);
    name.resize(name.find('\0') == std::string::npos ? 8 : name.find('\0'));
    return {name, u32(at + 8), u32(at + 12), u32(at + 16), u32(at + 20), u32(at + 36)};
  }
  Bytes data(size_t i) const {
    SectionHeader s = section(i);
    return Bytes(bytes.begin() + s.raw_pointer, bytes.begin() + s.raw_pointer + s.raw_size);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (size_t i = 0; i < section_count(); ++i) all.push_back(section(i).name);
    return all;
  }
  // True when every byte in [from, to) is zero.
  bool zero(size_t from, size_t to) const {
    for (size_t i = from; i < to; ++i)
      if (bytes.at(i) != 0) return false;
    return true;
  }
};

inline Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

// A section in the fake codec's format "C" + bytes, which expands to bytes.
inline testkit::RomSection fake_compressed(const Bytes& expanded, uint32_t virtual_size, uint32_t rva,
                                           uint32_t flags) {
  testkit::RomSection s;
  s.data = Bytes{'C'};
  s.data.insert(s.data.end(), expanded.begin(), expanded.end());
  s.virtual_size = virtual_size;
  s.rva = rva;
  s.flags = flags | 0x2000;
  return s;
}

inline testkit::RomSection plain(const Bytes& data, uint32_t virtual_size, uint32_t rva, uint32_t flags) {
  testkit::RomSection s;
  s.data = data;
  s.virtual_size = virtual_size;
  s.rva = rva;
  s.flags = flags;
  return s;
}

// A module of one plain code section whose data marks which module it is.
inline testkit::RomModule& add_marked(testkit::RomBuilder& rom, const std::string& name, uint8_t mark) {
  testkit::RomModule& m = rom.add_module(name);
  m.sections.push_back(plain(Bytes(16, mark), 0x1000, 0x1000, 0x60000020));
  return m;
}

inline void expect_sections(const Pe& pe, const std::vector<SectionHeader>& expected) {
  ASSERT_EQ(pe.section_count(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const SectionHeader got = pe.section(i), want = expected[i];
    EXPECT_EQ(got.name, want.name) << "section " << i;
    EXPECT_EQ(got.virtual_size, want.virtual_size) << "section " << i;
    EXPECT_EQ(got.virtual_address, want.virtual_address) << "section " << i;
    EXPECT_EQ(got.raw_size, want.raw_size) << "section " << i;
    EXPECT_EQ(got.raw_pointer, want.raw_pointer) << "section " << i;
    EXPECT_EQ(got.characteristics, want.characteristics) << "section " << i;
  }
}

// Two modules, rebuilt in this order: alpha.dll with a section of every
// kind, the resource and exception pairs among them, and beta.exe, whose
// names go on from alpha's counters.
inline constexpr uint32_t kAlphaStamp = 1245067200;  // 2009-06-15 12:00:00
inline constexpr std::array<uint32_t, 2> kAlphaCom{0x7000, 0x48};
inline constexpr std::array<std::array<uint32_t, 2>, 9> kAlphaDirectories{{{0x7100, 0x50},
                                                                            {0x7200, 0x3C},
                                                                            {0x5000, 0x300},  // resource
                                                                            {0x6000, 0x40},   // exception
                                                                            {0x7300, 0x10},
                                                                            {0x8000, 0x20},   // dropped
                                                                            {0x8100, 0x1C},   // dropped
                                                                            {0x7400, 0x8},
                                                                            {0x7500, 0x4}}};

inline testkit::RomBuilder two_module_rom() {
  testkit::RomBuilder rom;
  testkit::RomModule& a = rom.add_module("alpha.dll");
  a.file_time = (kAlphaStamp + 11644473600ull) * 10000000 + 1234567;
  a.e32.image_flags = 0x2102;
  a.e32.entry_point = 0x1234;
  a.e32.image_base = 0x10000000;
  a.e32.stack_reserve = 0x20000;
  a.e32.image_size = 0x9000;
  a.e32.com_directory = kAlphaCom;
  a.e32.directories = kAlphaDirectories;
  testkit::RomSection bss = plain({}, 0x100, 0x4000, 0xC0000080);
  bss.data_address = rom.rom_header_address;  // located, nothing stored
  a.sections = {plain(pattern(0x1234, 1), 0x2000, 0x1000, 0x60000020),
                fake_compressed(pattern(0x300, 2), 0x400, 0x3000, 0xC0000040),
                bss,
                plain(pattern(0x200, 3), 0x300, 0x5000, 0x40000040),   // the resource pair
                plain(pattern(0x40, 4), 0x40, 0x6000, 0x40000040),     // the exception pair
                plain(pattern(0x10, 5), 0x80, 0x7000, 0x42000000),     // no kind bit
                plain(pattern(0x180, 6), 0x200, 0x5000, 0x60000060)};  // resource RVA only

  testkit::RomModule& b = rom.add_module("beta.exe");
  b.file_time = 116444736000000000ull;
  b.e32.directories[3] = {0x3000, 0x8};
  b.e32.directories[5] = {0x9000, 0x10};
  b.e32.directories[6] = {0x9100, 0x1C};
  b.sections = {plain(pattern(0x20, 7), 0x20, 0x1000, 0), plain(pattern(0x30, 8), 0x80, 0x2000, 0xC0000040),
                plain(pattern(0x8, 9), 0x8, 0x3000, 0x40000000)};
  return rom;
}

inline std::vector<SectionHeader> alpha_sections() {
  return {{".text", 0x2000, 0x1000, 0x1234, 0x400, 0x60000020}, {".data", 0x400, 0x3000, 0x300, 0x1800, 0xC0000040},
          {".pdata", 0x100, 0x4000, 0, 0x1C00, 0xC0000080},     {".rsrc", 0x300, 0x5000, 0x200, 0x1C00, 0x40000040},
          {".pdata1", 0x40, 0x6000, 0x40, 0x1E00, 0x40000040},  {".other", 0x80, 0x7000, 0x10, 0x2000, 0x42000000},
          {".text1", 0x200, 0x5000, 0x180, 0x2200, 0x60000060}};
}

inline std::vector<SectionHeader> beta_sections() {
  return {{".other1", 0x20, 0x1000, 0x20, 0x400, 0},
          {".data1", 0x80, 0x2000, 0x30, 0x600, 0xC0000040},
          {".pdata2", 0x8, 0x3000, 0x8, 0x800, 0x40000000}};
}


// ---- Independent checks in Python ------------------------------------------

inline const char* const kPython = "/usr/bin/python3";

#define SKIP_WITHOUT_PEFILE()                                                                     \
  SKIP_WITHOUT_LINUX_PROGRAM(modtest::kPython);                                                   \
  if (std::system((std::string(modtest::kPython) + " -c 'import pefile' >/dev/null 2>&1").c_str()) != 0) \
  GTEST_SKIP() << modtest::kPython << " cannot import pefile"

// Runs a checking script of the tests on a JSON file of what it checks,
// written into the run's directory, and returns what it printed; expects
// its exit code 0.
inline std::string run_python_check(const ToolRun& run, const std::string& script, const std::string& json) {
  const std::string input = run.dir / "expected.json";
  testkit::write_file(input, testkit::bytes_of(json));
  const std::string log = run.dir / "check.log";
  const std::string command = std::string(kPython) + " '" + script + "' '" + input + "' >'" + log + "' 2>&1";
  const int status = std::system(command.c_str());
  const Bytes bytes = testkit::read_file(log);
  const std::string report(bytes.begin(), bytes.end());
  EXPECT_EQ(status, 0) << report;
  return report;
}

// A DLL's export and import tables as they lie in a section at rva: the
// DLL exports its functions, and imports one function from each DLL it
// names. functions are the exported names with the RVAs they stand for.
// Sets the module's export and import directory pairs.
inline Bytes link_tables(testkit::RomModule& m, uint32_t rva, const std::string& dll,
                         const std::vector<std::pair<std::string, uint32_t>>& functions,
                         const std::vector<std::string>& imported) {
  using testkit::put_u16;
  using testkit::put_u32;
  Bytes t(0x40 + 40, 0);
  auto text = [&t, rva](const std::string& s) {
    const auto at = static_cast<uint32_t>(t.size());
    t.insert(t.end(), s.begin(), s.end());
    t.resize(t.size() + 2 - t.size() % 2, 0);  // NUL, 2-byte aligned
    return rva + at;
  };
  auto table = [&t, rva](size_t bytes) {
    t.resize((t.size() + 3) / 4 * 4);
    const auto at = static_cast<uint32_t>(t.size());
    t.resize(t.size() + bytes, 0);
    return at;
  };
  // Export directory at the start, then its arrays and names.
  const uint32_t n = static_cast<uint32_t>(functions.size());
  const uint32_t addresses = table(4 * n), names = table(4 * n), ordinals = table(2 * n);
  put_u32(t, 12, text(dll));
  put_u32(t, 16, 1);
  put_u32(t, 20, n);
  put_u32(t, 24, n);
  put_u32(t, 28, rva + addresses);
  put_u32(t, 32, rva + names);
  put_u32(t, 36, rva + ordinals);
  for (uint32_t i = 0; i < n; ++i) {
    put_u32(t, addresses + 4 * i, functions[i].second);
    put_u32(t, names + 4 * i, text(functions[i].first));
    put_u16(t, ordinals + 2 * i, i);
  }
  m.e32.directories[0] = {rva, static_cast<uint32_t>(t.size())};
  // Import descriptors, a zero one last; each with its lookup and address
  // tables of one name.
  const uint32_t descriptors = table(20 * (imported.size() + 1));
  for (size_t i = 0; i < imported.size(); ++i) {
    const uint32_t lookup = table(8), address = table(8);
    t.resize(t.size() + 2, 0);  // the hint
    const uint32_t by_name = text(imported[i] + "_function") - 2;
    put_u32(t, lookup, by_name);
    put_u32(t, address, by_name);
    const size_t d = descriptors + 20 * i;
    put_u32(t, d, rva + lookup);
    put_u32(t, d + 12, text(imported[i]));
    put_u32(t, d + 16, rva + address);
  }
  m.e32.directories[1] = {rva + descriptors, static_cast<uint32_t>(20 * (imported.size() + 1))};
  return t;
}

}  // namespace modtest
