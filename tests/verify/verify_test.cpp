// verify and info: what they find in sound and damaged images, their exit
// statuses, and that they change nothing.
#include <gtest/gtest.h>

#include <filesystem>

#include "search/image_search.h"
#include "tool_run.h"

using namespace testkit;

namespace {

// A module with a plain and a compressed section (the fake codec's "C"
// format), a plain and a compressed file.
RomBuilder sound_rom() {
  RomBuilder rom;
  rom.cpu_type = 0x01C2;
  RomModule& m = rom.add_module("nk.exe");
  m.sections.push_back({Bytes(0x20, 0xE5), 0x20, 0x1000, {}, 0, 0x60000020, true});
  m.sections.push_back({bytes_of("Cdata"), 0x10, 0x2000, {}, 0, 0xC0002040, true});
  rom.add_file("boot.cfg", bytes_of("speed=400"), 0x1);
  rom.add_file("logo.bmp", bytes_of("CBMBMBMBM"), 0x800).real_size = 8;
  return rom;
}

struct Checked {
  TempDir dir;
  std::string bin = dir / "nk.bin";
  ToolResult run(const std::string& command = "verify") { return run_tool({bin, command}, fake_codec_dir()); }
};

TEST(Verify, SoundImagesHaveNoProblemsAndNothingChanges) {
  Checked c;
  // Before any run loads the library into the process (Windows would find
  // the loaded one by its name).
  write_file(c.bin, bytes_of("no image here"));
  EXPECT_EQ(run_tool({c.bin, "verify"}, c.dir.path()).output, "?Can't load Compression library\n");
  BinBuilder bin = sound_rom().layout();
  bin.max_record_length = 0x20;
  bin.write(c.bin);
  const size_t records = bin.records().size();
  std::filesystem::permissions(c.bin, std::filesystem::perms::owner_read);  // read-only is enough
  const ToolResult r = c.run("Verify");
  EXPECT_EQ(r.output, "1 images, " + std::to_string(records) + " records, 1 modules, 2 files: no problems\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(r.waited);
  std::filesystem::permissions(c.bin, std::filesystem::perms::owner_all);

  // A raw image has no records; a file without images is status 2, after
  // the message every command gives.
  RomBuilder rom = sound_rom();
  write_file(c.dir / "raw.nb0", raw_image(rom));
  EXPECT_EQ(run_tool({c.dir / "raw.nb0", "verify"}, fake_codec_dir()).output,
            "1 images, 0 records, 1 modules, 2 files: no problems\n");
  write_file(c.bin, bytes_of("no image here"));
  const ToolResult none = c.run();
  EXPECT_EQ(none.output, "Invalid XIP file\n");
  EXPECT_EQ(none.exit_code, 2);
}

TEST(Verify, DamagedImagesGiveOneLineEachAndStatusOne) {
  struct Case {
    const char* what;
    void (*damage)(RomBuilder& rom, BinBuilder& bin);
    std::string problem;  // a part of the problem's line
    int problems;         // with those its damage causes further on
  };
  const Case cases[] = {
      {"a wrong checksum",
       [](RomBuilder&, BinBuilder& bin) {
         std::vector<Record> records = bin.records();
         records[1].checksum = 0x1234;
         for (Record& r : records) bin.add_raw_record(r);
       },
       "Record at 0x80001000 (file offset 0x00000023): checksum 0x00001234, but its data sums to 0x", 1},
      {"a record cut off by the end of the file",
       [](RomBuilder&, BinBuilder& bin) {
         bin.end_record = false;
         bin.truncate_to = bin.build().size() - 1;
       },
       "bytes of data are missing, past the end of the file\nThe records end at file offset", 3},
      // and the last file's data is no longer whole
      {"a compressed file that no longer expands",
       [](RomBuilder& rom, BinBuilder& bin) { bin.put(rom.files[1].load_offset, bytes_of("X")); },
       "File logo.bmp: does not expand within its 8 bytes", 1},
      {"a compressed file that expands short",
       [](RomBuilder& rom, BinBuilder& bin) { bin.put(rom.files[1].load_offset, bytes_of("H")); },
       "File logo.bmp: expands to 4 bytes, not its 8", 1},
      {"a name that runs off its record",
       [](RomBuilder& rom, BinBuilder& bin) {
         rom.files[0].emit_name = false;
         bin = rom.layout();
         bin.put(rom.files[0].name_address, bytes_of("boot.cfg"));  // no NUL: the record ends after the name
       },
       "File boot.cfg: its name at 0x80008000 runs off the image without an end", 1},
      {"records that overlap",
       [](RomBuilder& rom, BinBuilder& bin) {
         for (const Record& r : bin.records()) bin.add_raw_record(r);
         bin.add_raw_record({rom.rom_header_address + 4, Bytes(4, 0), {}, {}, 0});
       },
       "covers addresses that an earlier record covers", 1},
  };
  for (const Case& k : cases) {
    RomBuilder rom = sound_rom();
    rom.files[0].name_address = 0x80008000;  // a record of its own
    BinBuilder bin = rom.layout();
    k.damage(rom, bin);
    Checked c;
    bin.write(c.bin);
    const Bytes before = read_file(c.bin);
    const ToolResult r = c.run();
    EXPECT_NE(r.output.find(k.problem), std::string::npos) << k.what << "\n" << r.output;
    EXPECT_NE(r.output.find(": " + std::to_string(k.problems) + " problems\n"), std::string::npos)
        << k.what << "\n" << r.output;
    EXPECT_EQ(r.exit_code, 1) << k.what;
    EXPECT_EQ(read_file(c.bin), before) << k.what;
  }
}

TEST(Verify, AFileCutShortBeforeItsRomHeaderIsReportedRecordByRecord) {
  BinBuilder bin = sound_rom().layout();
  bin.end_record = false;
  const std::vector<Record> records = bin.records();
  ASSERT_EQ(records[1].address, 0x80001000u);  // the ROM header's, after the ECEC record
  const size_t first_end = 15 + 12 + records[0].data.size();
  for (const size_t cut : {first_end, first_end + 12 + 4}) {  // between records, inside one
    bin.truncate_to = cut;
    Checked c;
    bin.write(c.bin);
    const ToolResult r = c.run();
    const std::string missing =
        cut == first_end ? ""
                         : "Record at 0x80001000 (file offset " + xipsaw::offset_name(first_end) + "): " +
                               std::to_string(records[1].data.size() - 4) + " of its " +
                               std::to_string(records[1].data.size()) +
                               " bytes of data are missing, past the end of the file\n";
    // Cut inside its data, the ROM header's record still holds its address
    // (what the file lacks reads as zeros, as the classic tool reads it).
    EXPECT_EQ(r.output, missing + "The records end at file offset " + xipsaw::offset_name(cut) +
                            " without an end record\n" + (cut == first_end ? "Invalid ROM header\n" : "") +
                            "1 images, " + std::to_string(cut == first_end ? 1 : 2) +
                            " records, 0 modules, 0 files: 2 problems\n");
    EXPECT_EQ(r.exit_code, 1);
  }
}

TEST(Verify, AnInterruptedUpdateIsReportedNotPlayedBack) {
  Checked c;
  sound_rom().layout().write(c.bin);
  write_file(c.bin + "-journal", bytes_of("XIPSAWJ1 whatever it holds"));
  const ToolResult r = c.run();
  EXPECT_EQ(r.output.rfind("The journal " + c.bin + "-journal of an interrupted update is pending; \"xipsaw " +
                               c.bin + " list\" plays it back\n",
                           0),
            0u)
      << r.output;
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(file_exists(c.bin + "-journal"));
}

TEST(Info, LinesOfABuiltImage) {
  Checked c;
  RomBuilder rom = sound_rom();
  rom.physfirst = 0x80000000;
  rom.physlast = 0x80002000;
  BinBuilder bin = rom.layout();
  bin.launch_address = 0x80001234;
  bin.write(c.bin);
  const ToolResult r = c.run("info");
  const std::string expected =
      "container: BIN container, 2 records\n"
      "launch address: 0x80001234\n"
      "image start: 0x80000000\n";
  EXPECT_EQ(r.output.substr(0, expected.size()), expected) << r.output;
  for (const char* line :
       {"\nrom offset: 0x00000000\ne32 layout: classic\ndllfirst: 0x00000000\ndlllast: 0x00000000\n"
        "physfirst: 0x80000000\nphyslast: 0x80002000\nnummods: 0x00000001\n",
        "\nnumfiles: 0x00000002\n", "\nusCPUType: 0x01c2 (ARM Thumb)\nusMiscFlags: 0x0000\npExtensions: 0x00000000\n",
        "\nulTrackingLen: 0x00000000\nmodules: 1\nfiles: 2\n"
        "compressed: 2 entries, 14 stored bytes for 24 expanded bytes\n"})
    EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(r.waited);

  // A raw image names its offset, its ROM header its length, and its
  // kernel's entry point is where a loader jumps.
  write_file(c.dir / "raw.nb0", raw_image(rom));
  const std::string raw = run_tool({c.dir / "raw.nb0", "INFO"}).output;
  EXPECT_EQ(raw.rfind("container: raw image at file offset 0x00000000\nlaunch address: 0x00010000\n"
                      "image start: 0x80000000\nimage length: 0x000011a5\n", 0),
            0u) << raw;
}

}  // namespace
