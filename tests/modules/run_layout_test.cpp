// Modules at their run addresses, as unpack writes them: the layout, the
// link tables that move with their sections (seen by an independent
// parser), and the modules that must stay at their stored layout.
#include <gtest/gtest.h>

#include "module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {

// A resource tree of one entry (type 10, name 1, language 0x409) at rva,
// whose data follows it. Sets the module's resource pair.
Bytes resource_tree(RomModule& m, uint32_t rva, const Bytes& data) {
  Bytes t(88, 0);
  const uint32_t kSubdirectory = 0x80000000u;
  for (uint32_t level = 0; level < 3; ++level) {  // directories at 0, 24 and 48, one entry each
    const uint32_t at = 24 * level;
    put_u16(t, at + 14, 1);
    put_u32(t, at + 16, level == 0 ? 10 : level == 1 ? 1 : 0x409);
    put_u32(t, at + 20, level < 2 ? kSubdirectory | (at + 24) : 72);
  }
  put_u32(t, 72, rva + 88);  // the data entry: the data's RVA and size
  put_u32(t, 76, static_cast<uint32_t>(data.size()));
  t.insert(t.end(), data.begin(), data.end());
  m.e32.directories[2] = {rva, static_cast<uint32_t>(t.size())};
  return t;
}

// An export directory at rva of one function, Edge at 0x1000, whose name
// array's one word is the last of the table and of its section's data.
Bytes edge_exports(RomModule& m, uint32_t rva) {
  Bytes t(68, 0);
  std::copy_n("edge.dll\0\0\0\0Edge", 16, t.begin() + 40);  // "Edge" ends at the ordinal's 0
  put_u32(t, 12, rva + 40);  // the DLL's name
  put_u32(t, 16, 1);
  put_u32(t, 20, 1);
  put_u32(t, 24, 1);
  put_u32(t, 28, rva + 60);  // functions, names and ordinals
  put_u32(t, 32, rva + 64);
  put_u32(t, 36, rva + 56);
  put_u32(t, 60, 0x1000);
  put_u32(t, 64, rva + 52);  // "Edge"
  m.e32.directories[0] = {rva, 68};
  return t;
}

RomSection running_at(RomSection s, uint32_t run_address) {
  s.run_address = run_address;
  return s;
}

// Extracts and unpacks the image; the unpacked modules are in dir/run.
struct BothLayouts {
  ToolRun run;
  ToolResult unpacked;
  explicit BothLayouts(RomBuilder& rom) {
    run_on(run, rom, {"extract"});
    unpacked = run_tool({run.bin, "unpack", run.dir / "run"}, fake_codec_dir());
  }
  Bytes stored(const std::string& name) const { return run.file(name); }
  Bytes moved(const std::string& name) const { return read_file(run.dir / "run/" + name); }
};

TEST(RunLayout, LinkTablesMoveWithTheirSectionsAsAnIndependentParserSees) {
  SKIP_WITHOUT_PEFILE();
  RomBuilder rom;
  rom.cpu_type = 0x01C2;
  const RomSection code = plain(Bytes(0x100, 0xC3), 0x100, 0x1000, 0x60000020);
  // Writable data below the base, with the export and import tables and an
  // exported data item.
  RomModule& below = rom.add_module("below.dll");
  below.e32.image_base = 0x40000000;
  below.e32.image_size = 0x3000;
  below.e32.entry_point = 0x1008;
  const Bytes below_tables =
      link_tables(below, 0x2000, "below.dll", {{"BelowCode", 0x1000}, {"BelowData", 0x2700}}, {"COREDLL.dll"});
  below.sections = {code, running_at(plain(below_tables, 0x800, 0x2000, 0xC0000040), 0x3FF00000)};
  // Writable data and resources far above the code.
  RomModule& above = rom.add_module("above.dll");
  above.e32.image_base = 0x40000000;
  above.e32.image_size = 0x4000;
  above.e32.entry_point = 0x1000;
  const Bytes above_tables =
      link_tables(above, 0x2000, "above.dll", {{"AboveCode", 0x1010}}, {"COREDLL.dll", "FSDMGR.dll"});
  const Bytes resources = resource_tree(above, 0x3000, bytes_of("a resource"));
  above.sections = {code, running_at(plain(above_tables, 0x800, 0x2000, 0xC0000040), 0x50000000),
                    running_at(plain(resources, static_cast<uint32_t>(resources.size()), 0x3000, 0x40000040),
                               0x50010000)};
  // A kernel's exception data and writable data at one rva, each running
  // elsewhere: an export into that rva is data, though the exception
  // section comes first; the exception pair is pdata.
  RomModule& nk = rom.add_module("nk.exe");
  nk.e32.image_base = 0x80000000;
  nk.e32.image_size = 0x4000;
  nk.e32.entry_point = 0x1000;
  const Bytes nk_tables = link_tables(nk, 0x3000, "nk.exe", {{"KernelCall", 0x1000}, {"KernelData", 0x3010}}, {});
  nk.e32.directories[3] = {0x3000, 0x40};
  nk.sections = {code, running_at(plain(pattern(0x40, 4), 0x40, 0x3000, 0x40000040), 0x80005000),
                 running_at(plain(nk_tables, 0x1000, 0x3000, 0xC0000040), 0x7FF00000)};

  // A table that ends where its section's data does.
  RomModule& edge = rom.add_module("edge.dll");
  edge.e32.image_base = 0x40000000;
  edge.e32.image_size = 0x3000;
  edge.e32.entry_point = 0x1000;
  edge.sections = {code, running_at(plain(edge_exports(edge, 0x2000), 68, 0x2000, 0xC0000040), 0x3FF00000)};

  BothLayouts both(rom);
  EXPECT_EQ(both.unpacked.output,
            "Extracting below.dll ...\nExtracting above.dll ...\nExtracting nk.exe ...\nExtracting edge.dll ...\n");
  EXPECT_EQ(both.unpacked.exit_code, 0);
  // 64 KiB below the data, which leaves no room for the headers at its own
  // 64 KiB; the section table in address order.
  Pe below_pe{both.moved("below.dll")};
  EXPECT_EQ(below_pe.nt32(0x34), 0x3FEF0000u);
  EXPECT_EQ(below_pe.names(), (std::vector<std::string>{".data", ".text"}));
  Pe nk_pe{both.moved("nk.exe")};
  EXPECT_EQ(nk_pe.nt32(0x34) + nk_pe.directory_rva(3), 0x80005000u);
  EXPECT_EQ(nk_pe.directory_size(3), 0x40u);

  std::string pairs = "[";
  for (const auto& [name, runs] : std::vector<std::pair<std::string, std::string>>{
           {"below.dll", "1073745920, 1072693248"},
           {"above.dll", "1073745920, 1342177280, 1342242816"},
           {"nk.exe", "2147487744, 2146435072, 2147504128"},
           {"edge.dll", "1073745920, 1072693248"}})
    pairs += std::string(pairs.size() > 1 ? ", " : "") + "{\"extracted\": \"" + both.run.out(name) +
             "\", \"unpacked\": \"" + both.run.dir / "run/" + name + "\", \"run_addresses\": [" + runs + "]}";
  const std::string report = run_python_check(both.run, XIPSAW_CHECK_RUN_LAYOUT_SCRIPT, pairs + "]");
  EXPECT_NE(report.find("checked 4 modules (6 exports, 3 imports), 0 mismatches"), std::string::npos) << report;
}

TEST(RunLayout, TailsAreCutAndModulesThatCannotMoveStayAsExtractWritesThem) {
  RomBuilder rom;
  // A's zero-filled tail reaches into B, which runs at base + rva.
  RomModule& cut = rom.add_module("cut.dll");
  cut.e32.image_base = 0x10010000;
  cut.sections = {plain(pattern(0x100, 1), 0x3000, 0x1000, 0x60000020),
                  plain(pattern(0x10, 2), 0x10, 0x2000, 0xC0000040)};
  // Code that runs at address 0 leaves no room for the headers.
  RomModule& step = rom.add_module("step.exe");
  step.e32.image_base = 0;
  step.sections = {plain(pattern(0x20, 3), 0x20, 0, 0x60000020)};
  // Stored bytes that overlap where the sections run.
  RomModule& overlap = rom.add_module("overlap.dll");
  overlap.sections = {plain(pattern(0x200, 4), 0x200, 0x1000, 0x60000020),
                      running_at(plain(pattern(0x10, 5), 0x10, 0x2000, 0xC0000040), 0x11100)};
  // Link tables made to loop: a resource directory that is its own
  // subdirectory, import descriptors and thunks without an end.
  RomModule& loops = rom.add_module("loops.dll");
  loops.e32.image_size = 0x3000;
  Bytes tables(0x100, 0xA5);
  put_u16(tables, 14, 1);                     // the directory at 0: one entry,
  put_u32(tables, 20, 0x80000000u);           // whose subdirectory is itself
  loops.e32.directories[1] = {0x2000, 0x100};  // descriptors of 0xA5 bytes to the end
  loops.e32.directories[2] = {0x2000, 0x100};
  loops.sections = {plain(pattern(0x10, 8), 0x10, 0x1000, 0x60000020),
                    running_at(plain(tables, 0x100, 0x2000, 0xC0000040), 0x20000000)};
  // 2 GiB between the code and the data.
  RomModule& span = rom.add_module("span.dll");
  span.sections = {plain(pattern(0x10, 7), 0x10, 0x1000, 0x60000020), running_at(plain(pattern(0x10, 6), 0x10, 0x2000, 0xC0000040), 0x80010000)};

  // Every section runs one same distance above base + rva: an alias of
  // the stored layout (a Windows CE 2.x DLL), which its code does not use.
  RomModule& alias = rom.add_module("alias.dll");
  alias.e32.image_base = 0x01F00000;
  alias.sections = {running_at(plain(pattern(0x10, 9), 0x10, 0x1000, 0x60000020), 0x03F01000),
                    running_at(plain(pattern(0x10, 10), 0x10, 0x3000, 0xC0000040), 0x03F03000)};

  BothLayouts both(rom);
  EXPECT_EQ(both.unpacked.output,
            "Extracting cut.dll ...\nExtracting step.exe ...\n"
            "step.exe: written at its stored layout (no room for its headers below its first section)\n"
            "Extracting overlap.dll ...\n"
            "overlap.dll: written at its stored layout (the stored bytes of two of its sections overlap)\n"
            "Extracting loops.dll ...\nExtracting span.dll ...\nspan.dll: written at its stored layout (its sections span 2 GiB or more)\n"
            "Extracting alias.dll ...\n");
  EXPECT_EQ(both.unpacked.exit_code, 0);
  for (const char* name : {"step.exe", "overlap.dll", "span.dll"}) EXPECT_EQ(both.moved(name), both.stored(name));
  // 4 KiB between the base and the first section is room enough.
  Pe pe{both.moved("cut.dll")};
  EXPECT_EQ(pe.nt32(0x34), 0x10010000u);
  expect_sections(pe, {{".text", 0x1000, 0x1000, 0x100, 0x400, 0x60000020},
                       {".data", 0x10, 0x2000, 0x10, 0x600, 0xC0000040}});
  EXPECT_EQ(pe.nt32(0x50), 0x3000u);  // SizeOfImage
  Pe at_base{both.moved("alias.dll")};
  EXPECT_EQ(at_base.nt32(0x34), 0x01F00000u);
  EXPECT_EQ(at_base.section(0).virtual_address, 0x1000u);
  EXPECT_EQ(at_base.section(1).virtual_address, 0x3000u);
}

}  // namespace
