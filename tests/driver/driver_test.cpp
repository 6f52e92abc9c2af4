// The command line, the run sequence and its failure messages, in-process
// and through the real executable.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <gtest/gtest.h>

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
  std::FILE* out = std::tmpfile();
  xipsaw::print_usage(out, "/opt/bin/xs");
  std::rewind(out);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  EXPECT_STREQ(line, "/opt/bin/xs <filename> <command>\n");
  std::fclose(out);
}

TEST(Driver, CommandWordsFoldOnlyAsciiLetters) {
  EXPECT_EQ(xipsaw::command_kind("list"), 1);
  EXPECT_EQ(xipsaw::command_kind("LIST"), 1);
  EXPECT_EQ(xipsaw::command_kind("List"), 1);
  EXPECT_EQ(xipsaw::command_kind("eXtRaCt"), 2);
  EXPECT_EQ(xipsaw::command_kind("Update"), 3);
  EXPECT_EQ(xipsaw::command_kind(""), 0);
  EXPECT_EQ(xipsaw::command_kind("l"), 0);
  EXPECT_EQ(xipsaw::command_kind("list\xff"), 0);
  EXPECT_EQ(xipsaw::command_kind("\xccist"), 0);  // 'L' + 0x80: not a letter's other case
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

  if (geteuid() != 0) {  // root may open a read-only file for writing anyway
    chmod(bin.c_str(), 0444);
    EXPECT_EQ(run_tool({bin, "list"}).output, "Unable to open BIN file\n");
    chmod(bin.c_str(), 0644);
  }
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

// Runs the real executable with its output on a pipe, reads until the
// output holds `until` (or the child ends), then kills it if still running.
std::string run_executable(const std::vector<std::string>& args, const std::string& until, bool& exited) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    std::vector<char*> argv{const_cast<char*>(XIPSAW_EXECUTABLE)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string output;
  char buffer[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (output.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  exited = waitpid(pid, &status, WNOHANG) == pid;
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  close(fds[0]);
  return output;
}

TEST(Executable, EarlyEndsExitAtOnceAndCompleteRunsFlushBeforeTheWait) {
  bool exited = false;
  std::string usage = run_executable({}, "update specified files\n", exited);
  EXPECT_NE(usage.find("<filename> <command>"), std::string::npos);

  TempDir dir;
  std::string bin = valid_image(dir);
  // The whole listing arrives while the process still waits.
  std::string listing = run_executable({bin, "list"}, "hello.txt (ROM 0x", exited);
  EXPECT_NE(listing.find("hello.txt (ROM 0x"), std::string::npos);
  EXPECT_FALSE(exited);

  // extract finds the compression library beside the executable.
  std::string extracting = run_executable({bin, "extract"}, "Extracting hello.txt ...\n", exited);
  EXPECT_EQ(extracting, "Extracting hello.txt ...\n");
  EXPECT_EQ(read_file(dir / "nk/hello.txt"), bytes_of("hello"));
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
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  ToolResult r = run_tool({"./nk.bin", "extract"});
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(r.output, "Extracting readme.txt ...\nExtracting nk.bin ...\nUnable to open ./nk.bin\n");
  EXPECT_EQ(read_file(dir / "readme.txt"), bytes_of("text"));
  EXPECT_EQ(read_file(dir / "nk.bin"), before);
}

}  // namespace
