// The command line, the run sequence and its failure messages, in-process
// and through the real executable.
#include <gtest/gtest.h>

#include <filesystem>

#include "driver/driver.h"
#include "tool_run.h"

using namespace testkit;

namespace {

const char kUsage[] =
    "Xipsaw 1.2g by xipsaw (ported by quorvex)\n\n"
    "xipsaw <filename> <command>\n"
    "Valid commands are:\n"
    "  list                    - lists contents\n"
    "  extract [files...]      - extract all/specified files\n"
    "  update outfile [infile] - update specified files\n";

// A valid image with one file, written into dir as nk.bin.
std::string valid_image(const TempDir& dir) {
  RomBuilder rom;
  rom.add_file("hello.txt", bytes_of("hello"));
  rom.layout().write(dir / "nk.bin");
  return dir / "nk.bin";
}

TEST(Driver, UsageForMissingArgumentsAndUnknownCommands) {
  TempDir dir;
  std::string bin = valid_image(dir);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {bin}, {bin, "lists"}, {bin, "lis"}, {bin, "list "}, {bin, "update"}, {bin, "UPDATE"},
           {bin, "remove", "x"}, {"missing.bin", "bogus"}}) {
    ToolResult r = run_tool(args);
    EXPECT_EQ(r.output, kUsage);
    EXPECT_FALSE(r.waited);
  }
  // The program name is argument 0 as given.
  const std::string usage = captured_output([](std::FILE* out) { xipsaw::print_usage(out, "/opt/bin/xs"); });
  EXPECT_NE(usage.find("\n\n/opt/bin/xs <filename> <command>\n"), std::string::npos) << usage;
}

TEST(Driver, CommandWordsFoldOnlyAsciiLetters) {
  EXPECT_STREQ(xipsaw::command_name("list"), "list");
  EXPECT_STREQ(xipsaw::command_name("LIST"), "list");
  EXPECT_STREQ(xipsaw::command_name("List"), "list");
  EXPECT_STREQ(xipsaw::command_name("eXtRaCt"), "extract");
  EXPECT_STREQ(xipsaw::command_name("Update"), "update");
  EXPECT_STREQ(xipsaw::command_name("SYMBOLS"), "symbols");
  EXPECT_EQ(xipsaw::command_name(""), nullptr);
  EXPECT_EQ(xipsaw::command_name("l"), nullptr);
  EXPECT_EQ(xipsaw::command_name("list\xff"), nullptr);
  EXPECT_EQ(xipsaw::command_name("\xccist"), nullptr);  // 'L' + 0x80: not a letter's other case
}

TEST(Driver, OutputDirectoryNames) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"nk.bin", "nk"},         {"nk", "nk-"},
      {"nk.", "nk"},            {"a.b.bin", "a"},
      {"D:\\roms\\nk.bin", "D:\\roms\\nk"}, {"roms.old\\nk.bin", "roms"},
      {"..\\roms\\nk.bin", ""}, {"", "-"},
      {std::string(600, 'n') + ".bin", std::string(600, 'n')}};
  for (const auto& [argument, expected] : table) EXPECT_EQ(xipsaw::output_directory_name(argument), expected);
}

TEST(Driver, FailuresAreReportedInRunOrder) {
  TempDir dir;
  std::string bin = valid_image(dir);
  EXPECT_EQ(run_tool({dir / "missing.bin", "list"}).output, "Unable to open BIN file\n");
  EXPECT_EQ(run_tool({dir / "missing.bin", "extract"}, "/nonexistent").output, "Unable to open BIN file\n");

  write_file(dir / "junk.bin", bytes_of("not an image at all"));
  // The library is tried before any header is read.
  EXPECT_EQ(run_tool({dir / "junk.bin", "extract"}, dir.path()).output, "?Can't load Compression library\n");
  EXPECT_EQ(run_tool({dir / "junk.bin", "update", "x"}, dir.path()).output, "?Can't load Compression library\n");
  EXPECT_EQ(run_tool({dir / "junk.bin", "list"}, dir.path()).output, "Invalid XIP file\n");
  // A library without one of its entry points ends the run the same way.
  EXPECT_EQ(run_tool({bin, "extract"}, codec_without_decompress_dir()).output, "?Can't load Compression library\n");
  EXPECT_EQ(run_tool({bin, "update", "hello.txt"}, codec_without_compress_dir()).output,
            "?Can't load Compression library\n");

  RomBuilder bad_ecec;
  bad_ecec.ecec = "ECED";
  bad_ecec.layout().write(dir / "ecec.bin");
  ToolResult r = run_tool({dir / "ecec.bin", "list"});
  EXPECT_EQ(r.output, "Invalid ECEC header\n");
  EXPECT_FALSE(r.waited);

  BinBuilder no_rom;
  no_rom.put(no_rom.image_start + 0x40, bytes_of("ECEC"));
  no_rom.put_u32(no_rom.image_start + 0x44, 0x12345678);
  no_rom.write(dir / "rom.bin");
  EXPECT_EQ(run_tool({dir / "rom.bin", "list"}).output, "Invalid ROM header\n");
}

TEST(Driver, ReadOnlyBinFileIsNotOpened) {
  if (const std::string why = read_only_not_enforced(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  std::string bin = valid_image(dir);
  namespace fs = std::filesystem;
  const fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(bin, writable, fs::perm_options::remove);
  EXPECT_EQ(run_tool({bin, "list"}).output, "Unable to open BIN file\n");
  fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
}

TEST(Driver, CompleteRunsWaitAndIgnoreExtraListWords) {
  TempDir dir;
  std::string bin = valid_image(dir);
  const std::string line = "____         5         5             hello.txt (ROM 0x";
  ToolResult r = run_tool({bin, "LIST", "extra", "words"}, "/nonexistent");  // list needs no library
  EXPECT_EQ(r.output.rfind(line, 0), 0u) << r.output;
  EXPECT_TRUE(r.waited);
  EXPECT_FALSE(file_exists(dir / "nk"));  // list creates nothing
  ToolResult u = run_tool({bin, "update", "absent.txt"});
  EXPECT_EQ(u.output, "Unable to find absent.txt on BIN\n");
  EXPECT_TRUE(u.waited);
}

TEST(Executable, EarlyEndsExitAtOnceAndCompleteRunsFlushBeforeTheWait) {
  ProcessRun usage = run_program(xipsaw_executable(), {}, "");
  EXPECT_NE(usage.output.find("<filename> <command>\n"), std::string::npos) << usage.output;
  EXPECT_TRUE(usage.exited);
  EXPECT_EQ(usage.exit_code, 0);

  TempDir dir;
  std::string bin = valid_image(dir);
  // The whole listing arrives while the process still waits.
  ProcessRun listing = run_program(xipsaw_executable(), {bin, "list"}, "hello.txt (ROM 0x");
  EXPECT_NE(listing.output.find("hello.txt (ROM 0x"), std::string::npos) << listing.output;
  EXPECT_FALSE(listing.exited);

  // extract finds the compression library beside the executable. The line
  // of the second file shows that the first one is written and closed.
  RomBuilder rom;
  rom.add_file("hello.txt", bytes_of("hello"));
  rom.add_file("bye.txt", bytes_of("bye"));
  rom.layout().write(dir / "two.bin");
  ProcessRun extracting =
      run_program(xipsaw_executable(), {dir / "two.bin", "extract"}, "Extracting bye.txt ...\n");
  EXPECT_EQ(extracting.output, "Extracting hello.txt ...\nExtracting bye.txt ...\n");
  EXPECT_FALSE(extracting.exited);
  EXPECT_EQ(read_file(dir / "two/hello.txt"), bytes_of("hello"));

  // XIPSAW_NO_WAIT set to anything but "" or "0" skips the wait.
  EXPECT_FALSE(xipsaw::skips_final_wait(nullptr));
  EXPECT_FALSE(xipsaw::skips_final_wait(""));
  EXPECT_FALSE(xipsaw::skips_final_wait("0"));
  EXPECT_TRUE(xipsaw::skips_final_wait("1"));
  EXPECT_TRUE(xipsaw::skips_final_wait("00"));
  set_environment("XIPSAW_NO_WAIT", "yes");
  ProcessRun unwaited = run_program(xipsaw_executable(), {bin, "list"}, "");
  set_environment("XIPSAW_NO_WAIT", "");
  EXPECT_NE(unwaited.output.find("hello.txt (ROM 0x"), std::string::npos) << unwaited.output;
  EXPECT_TRUE(unwaited.exited);
  EXPECT_EQ(unwaited.exit_code, 0);

  // A missing BIN file ends the run at once, with exit code 0.
  ProcessRun missing = run_program(xipsaw_executable(), {dir / "missing.bin", "list"}, "");
  EXPECT_EQ(missing.output, "Unable to open BIN file\n");
  EXPECT_TRUE(missing.exited);
  EXPECT_EQ(missing.exit_code, 0);
}

}  // namespace

namespace {

TEST(Driver, AnEmptyOutputDirectoryMeansTheCurrentOneButNeverTheBinFile) {
  TempDir dir;
  RomBuilder rom;
  rom.add_file("readme.txt", bytes_of("text"));
  rom.add_file("nk.bin", bytes_of("would overwrite the image"));
  rom.layout().write(dir / "nk.bin");
  const Bytes before = read_file(dir / "nk.bin");
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  ToolResult r = run_tool({"./nk.bin", "extract"});
  std::filesystem::current_path(previous);
  EXPECT_EQ(r.output, "Extracting readme.txt ...\nExtracting nk.bin ...\nUnable to open ./nk.bin\n");
  EXPECT_EQ(read_file(dir / "readme.txt"), bytes_of("text"));
  EXPECT_EQ(read_file(dir / "nk.bin"), before);
}

}  // namespace
