// The module pass: listing lines, selection of the modules to extract, and
// how the pass ends on names it cannot read or write.
#include <gtest/gtest.h>

#include <filesystem>

#include "module_testing.h"

using namespace testkit;
using namespace modtest;

namespace {

TEST(ModuleListing, LinesByteForByteAndModulesBeforeFiles) {
  RomBuilder rom;
  RomModule& example = rom.add_module("module.dll");
  example.attributes = 0x7;
  example.size = 24576;
  example.load_offset = 0x21000;
  RomModule& compressed = rom.add_module("a_rather_long_module_name.dll");  // wider than the column
  compressed.attributes = 0x1000 | 0x800;  // 0x800 is not a module letter
  compressed.size = 0xFFFFFFFF;            // printed signed
  compressed.load_offset = 0x8ABCDEF0;
  rom.add_module("plain.exe").attributes = 0x10;
  rom.add_file("readme.txt", bytes_of("hello"));

  ToolRun run;
  run_on(run, rom, {"list", "plain.exe"});  // list ignores its words
  const std::string modules =
      "_HRS     24576                      module.dll (ROM 0x00021000)\n"
      "C___        -1          a_rather_long_module_name.dll (ROM 0x8abcdef0)\n"
      "____         0                       plain.exe (ROM 0x00000000)\n";
  ASSERT_EQ(run.output.substr(0, modules.size()), modules);
  EXPECT_NE(run.output.find("readme.txt", modules.size()), std::string::npos);
  EXPECT_FALSE(file_exists(run.dir / "nk"));
}

TEST(ModuleListing, EmptyTablePrintsNothingAndUnreadableNamesEndThePass) {
  {
    RomBuilder rom;
    rom.add_file("only.txt", bytes_of("x"));  // the module table's address must be located
    ToolRun run;
    run_on(run, rom, {"list"});
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1);
    EXPECT_NE(run.output.find("only.txt"), std::string::npos);
  }
  RomBuilder rom;
  add_marked(rom, "first.dll", 1);
  rom.add_module("lost.dll").emit_name = false;
  add_marked(rom, "never.dll", 2);
  for (const char* command : {"list", "extract"}) {
    ToolRun run;
    run_on(run, rom, {command});
    EXPECT_NE(run.output.find("first.dll"), std::string::npos) << command;
    EXPECT_NE(run.output.find("Unable to read block file\n"), std::string::npos) << command;
    EXPECT_EQ(run.output.find("never.dll"), std::string::npos) << command;
  }
  ToolRun update;  // reads the names too, before the file pass does the update
  run_on(update, rom, {"update", "nothing.txt"});
  EXPECT_EQ(update.output.rfind("Unable to read block file\n", 0), 0u);
}

TEST(ModuleSelection, WordsSelectByExactNameOnceEach) {
  RomBuilder rom;
  add_marked(rom, "gwes.exe", 1);
  add_marked(rom, "coredll.dll", 2);
  add_marked(rom, "nk.exe", 3);

  ToolRun all;
  run_on(all, rom, {"extract"});
  EXPECT_EQ(all.output, "Extracting gwes.exe ...\nExtracting coredll.dll ...\nExtracting nk.exe ...\n");

  ToolRun some;
  run_on(some, rom, {"extract", "COREDLL.DLL", "nk.exe", "nk.exe", "nk.ex", "gwes.exe", "missing.dll"});
  EXPECT_EQ(some.output, "Extracting gwes.exe ...\nExtracting nk.exe ...\n");
  EXPECT_TRUE(file_exists(some.out("gwes.exe")));
  EXPECT_FALSE(file_exists(some.out("coredll.dll")));
  EXPECT_EQ(Pe{some.file("nk.exe")}.data(0), Bytes(16, 3));
}

TEST(ModuleSelection, SecondModuleOfOneNameReplacesTheFirstAndExistingFiles) {
  RomBuilder rom;
  add_marked(rom, "dup.dll", 1);
  add_marked(rom, "dup.dll", 2);
  ToolRun run;
  std::filesystem::create_directory(run.dir / "nk");
  write_file(run.out("dup.dll"), Bytes(5000, 0xEE));
  run_on(run, rom, {"extract", "dup.dll"});
  EXPECT_EQ(run.output, "Extracting dup.dll ...\nExtracting dup.dll ...\n");
  Pe pe{run.file("dup.dll")};
  EXPECT_EQ(pe.bytes.size(), 0x400u);
  EXPECT_EQ(pe.data(0), Bytes(16, 2));
  EXPECT_EQ(pe.section(0).name, ".text1");  // the first copy took ".text"
}

TEST(ModuleSelection, NamesLeavingTheOutputDirectoryAreNeverWritten) {
  ToolRun run;  // the absolute name points into this run's own directory
  const std::string absolute = run.dir / "abs.dll";
  for (const std::string& name : {absolute, std::string("../up.dll"), std::string("sub/../../up2.dll")}) {
    RomBuilder rom;
    add_marked(rom, "ok.dll", 1);
    add_marked(rom, name, 2);
    add_marked(rom, "after.dll", 3);
    run_on(run, rom, {"extract"});
    const std::string path = run.dir.path() + "/nk/" + name;
    EXPECT_EQ(run.output, "Extracting ok.dll ...\nExtracting " + name + " ...\nUnable to open " + path + "\n");
    EXPECT_FALSE(file_exists(absolute));
    EXPECT_FALSE(file_exists(run.dir / "up.dll"));
    EXPECT_FALSE(file_exists(run.dir / "up2.dll"));
    EXPECT_FALSE(file_exists(run.out("after.dll")));
  }
}

}  // namespace
