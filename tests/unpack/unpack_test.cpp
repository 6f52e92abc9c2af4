// unpack as scripts run it: every entry that can be written whole, each
// failure named while the rest is written, file times, exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "../modules/module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {

// A Windows FILETIME for a time in seconds since 1970.
uint64_t filetime(int64_t unix_seconds) { return static_cast<uint64_t>(unix_seconds + 11644473600) * 10000000; }

int64_t modified(const std::string& path) {
  const auto time = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

TEST(Unpack, EveryEntryThatCanBeWrittenWholeIsWrittenWithItsTime) {
  RomBuilder rom;
  RomModule& first = add_marked(rom, "first.dll", 1);
  first.file_time = filetime(1262304000);
  first.e32.image_size = 0x2000;  // as unpack gives it: to the end of its section
  add_marked(rom, "gone.dll", 2).emit_e32 = false;
  add_marked(rom, "bad.dll", 3).sections.push_back(plain(Bytes{'X'}, 0x100, 0x2000, 0x40 | 0x2000));
  add_marked(rom, "wide.dll", 4).e32.section_count = 58853;  // a table the image does not hold
  add_marked(rom, "last.dll", 5);
  rom.add_file("readme.txt", bytes_of("hello")).file_time = filetime(1300000000);
  RomFile& cut = rom.add_file("cut.txt", bytes_of("abc"));
  cut.stored_size = 0x100;
  cut.load_offset = 0x90000000;  // a record of its own, with nothing after it
  rom.add_file("packed.bin", Bytes{'X', 1, 2}, 0x800).real_size = 16;
  rom.add_file("after.txt", bytes_of("after"));
  ToolRun run;
  run_on(run, rom, {"extract"});
  const std::string into = run.dir / "a/b/out";  // created with its parents
  const ToolResult r = run_tool({run.bin, "UNPACK", into}, fake_codec_dir());
  EXPECT_EQ(r.output,
            "Extracting first.dll ...\nExtracting gone.dll ...\ngone.dll: Unable to locate e32offset\n"
            "Extracting bad.dll ...\nbad.dll: Error in CEDecompress()\n"
            "Extracting wide.dll ...\nwide.dll: Unable to read block file\nExtracting last.dll ...\n"
            "Extracting readme.txt ...\nExtracting cut.txt ...\ncut.txt: Unable to read block file\n"
            "Extracting packed.bin ...\npacked.bin: Error in CEDecompress()\nExtracting after.txt ...\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(r.waited);
  // extract stops at the first failure; unpack writes what it would.
  for (const char* name : {"first.dll", "readme.txt", "after.txt"})
    EXPECT_EQ(read_file(into + "/" + name), run.file(name)) << name;
  EXPECT_TRUE(file_exists(into + "/last.dll"));
  for (const char* name : {"gone.dll", "bad.dll", "wide.dll", "cut.txt", "packed.bin"})
    EXPECT_FALSE(file_exists(into + "/" + name)) << name;
  // The entries' times, for extract too; an entry without one (0) keeps the
  // time of the writing.
  EXPECT_EQ(modified(into + "/first.dll"), 1262304000);
  EXPECT_EQ(modified(run.out("first.dll")), 1262304000);
  EXPECT_EQ(modified(into + "/readme.txt"), 1300000000);
  EXPECT_GT(modified(into + "/after.txt"), 1700000000);

  // Everything written whole: status 0, into the directory extract uses.
  RomBuilder sound;
  add_marked(sound, "only.dll", 5);
  sound.layout().write(run.bin);
  std::filesystem::remove_all(run.out(""));
  std::filesystem::permissions(run.bin, std::filesystem::perms::owner_read);  // read-only is enough
  const ToolResult whole = run_tool({run.bin, "unpack"}, fake_codec_dir());
  EXPECT_EQ(whole.output, "Extracting only.dll ...\n");
  EXPECT_EQ(whole.exit_code, 0);
  EXPECT_TRUE(file_exists(run.out("only.dll")));
}

TEST(Unpack, NothingIsWrittenFromAHalfUpdatedFileOrFromNoImage) {
  TempDir dir;
  const std::string bin = dir / "nk.bin";
  RomBuilder rom;
  add_marked(rom, "only.dll", 5);
  rom.layout().write(bin);
  write_file(bin + "-journal", bytes_of("XIPSAWJ1 whatever it holds"));
  const ToolResult pending = run_tool({bin, "unpack"}, fake_codec_dir());
  EXPECT_EQ(pending.output, "The journal " + bin + "-journal of an interrupted update is pending; \"xipsaw " + bin +
                                " list\" plays it back\n");
  EXPECT_EQ(pending.exit_code, 1);
  EXPECT_FALSE(file_exists(dir / "nk"));
  EXPECT_TRUE(file_exists(bin + "-journal"));

  std::filesystem::remove(bin + "-journal");
  write_file(bin, bytes_of("no image here"));
  const ToolResult none = run_tool({bin, "unpack"}, fake_codec_dir());
  EXPECT_EQ(none.output, "Invalid XIP file\n");
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_EQ(run_tool({bin, "unpack", "a", "b"}, fake_codec_dir()).exit_code, 1);  // the usage text
}

TEST(Unpack, NeedsNoAddressForAnEmptyFileTableAndWritesASectionNotInTheImageEmpty) {
  // A boot loader without files, whose file table's address lies in no
  // record; with cut, a stepping stone cut before the stored bytes of its
  // exception data.
  auto loader = [](bool cut) {
    RomBuilder rom;
    rom.data_start = rom.rom_header_address + 0x1000;
    RomModule& step = add_marked(rom, "step.exe", 1);
    if (cut) {
      step.sections.push_back(plain(Bytes(8, 2), 8, 0x2000, 0x40000040));
      step.sections.back().data_address = 0x90000000;
      step.sections.back().emit_data = false;
      step.e32.directories[3] = {0x2000, 8};
    }
    return rom;
  };
  RomBuilder whole = loader(false);
  ToolRun run;
  run_on(run, whole, {"list"});
  EXPECT_NE(run.output.find("step.exe (ROM 0x00000000)\nUnable to read block file\n"), std::string::npos);
  const ToolResult written = run_tool({run.bin, "unpack"}, fake_codec_dir());
  EXPECT_EQ(written.output, "Extracting step.exe ...\n");
  EXPECT_EQ(written.exit_code, 0);

  RomBuilder cut = loader(true);
  run_on(run, cut, {"extract"});
  EXPECT_EQ(run.output, "Extracting step.exe ...\nUnable to read block file\nUnable to read block file\n");
  const ToolResult unpacked = run_tool({run.bin, "unpack"}, fake_codec_dir());
  EXPECT_EQ(unpacked.output, "Extracting step.exe ...\nstep.exe: the data of section .pdata is not in the image\n");
  EXPECT_EQ(unpacked.exit_code, 1);
  Pe pe{run.file("step.exe")};
  EXPECT_EQ(pe.names(), (std::vector<std::string>{".text", ".pdata"}));
  EXPECT_EQ(pe.section(1).raw_size, 0u);
  EXPECT_EQ(pe.data(0), Bytes(16, 1));
}

TEST(Unpack, HelpListsTheCommandsBeyondTheClassicOnes) {
  for (const char* word : {"--help", "-h"}) {
    const std::string help = run_tool({word}).output;
    EXPECT_EQ(help.find("  update outfile [infile] - update specified files\n  verify "), help.find("\n  update") + 1);
    EXPECT_NE(help.find("\n  unpack [DIR]            - "), std::string::npos) << help;
    EXPECT_NE(help.find("\n  symbols                 - "), std::string::npos) << help;
  }
}

}  // namespace
