// Output files against hostile output directories and failing disks: links,
// FIFOs and other files that are not plain are refused, write failures are
// reported and leave no partial file, names never reach the terminal as
// they are, and memory stays bounded whatever sizes the image claims.
#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>

#include "../modules/module_testing.h"
#include "allocation_probe.h"
#include "compression/binding.h"

using namespace testkit;
using modtest::ToolRun;
using modtest::run_on;
using filetest::AllocationProbe;

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kCompressed = 0x800;

// The fake codec's form that expands to count copies of a byte, whatever
// follows its first six bytes; padded to length bytes.
Bytes run_of(uint32_t count, uint8_t byte, size_t length) {
  Bytes b{'R', 0, 0, 0, 0, byte};
  put_u32(b, 1, count);
  b.resize(std::max<size_t>(length, 6), 0xAA);
  return b;
}

// The names of what a directory holds, sorted.
std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---- Compressed data and slices ---------------------------------------------

TEST(OutputSafety, CompressedDataLongerThanAnyValidBufferIsNeverRead) {
  const uint32_t limit = xipsaw::max_compressed_size(4096);
  EXPECT_EQ(limit, 3u + 3 + 16 + 8192);
  EXPECT_EQ(xipsaw::max_compressed_size(0), 3u);
  EXPECT_EQ(xipsaw::max_compressed_size(0xFFFFFFFF), xipsaw::max_compressed_size(1u << 24));
  // A buffer's length is its last 3-byte end offset.
  EXPECT_EQ(xipsaw::max_compressed_size(1u << 24), 0xFFFFFFu);
  EXPECT_EQ(xipsaw::max_compressed_size(4096 * 2040), 3u + 2040 * (3 + 16 + 8192));

  ToolRun run;
  RomBuilder rom;
  rom.add_module("long.dll").sections.push_back(
      {run_of(4096, 's', limit + 1), 4096, 0x1000, {}, 0, 0x60000020 | 0x2000, true});
  rom.add_file("longest.bin", run_of(4096, 'a', limit), kCompressed).real_size = 4096;
  rom.add_file("too_long.bin", run_of(4096, 'b', limit + 1), kCompressed).real_size = 4096;
  rom.add_file("empty.bin", run_of(0, 'c', 2u << 20), kCompressed).real_size = 0;  // read, it would show below
  rom.add_file("plain.bin", modtest::pattern(3 * (1u << 20) + 5, 3));
  BinBuilder bin = rom.layout();
  bin.max_record_length = 64 * 1024;
  bin.write(run.bin);
  AllocationProbe probe;
  const std::string output = run_tool({run.bin, "extract"}, fake_codec_dir()).output;
  EXPECT_LE(probe.largest(), 1u << 20);
  EXPECT_EQ(output,
            "Extracting long.dll ...\nError in CEDecompress()\n"
            "Extracting longest.bin ...\n"
            "Extracting too_long.bin ...\nError in CEDecompress()\n"
            "Extracting empty.bin ...\nError in CEDecompress()\n"
            "Extracting plain.bin ...\n");
  EXPECT_EQ(modtest::Pe{run.file("long.dll")}.section(0).raw_size, 0u);
  EXPECT_EQ(run.file("longest.bin"), Bytes(4096, 'a'));
  EXPECT_EQ(run.file("too_long.bin"), Bytes{});
  EXPECT_EQ(run.file("empty.bin"), Bytes{});
  EXPECT_EQ(run.file("plain.bin"), modtest::pattern(3 * (1u << 20) + 5, 3));
}

// ---- Names with control bytes ----------------------------------------------

TEST(OutputSafety, ControlBytesInNamesArePrintedAsQuestionMarksAndNeverWritten) {
  const std::string forged = "evil\nC___ 1 1 forged (ROM 0x0)\r\x1b[2J\x7f\t";
  const std::string shown = "evil?C___ 1 1 forged (ROM 0x0)??[2J??";
  ToolRun run;
  RomBuilder rom;
  rom.add_module(forged);
  rom.add_file("caf\xc3\xa9 \x80\xff.txt", bytes_of("printable as it is"));
  rom.add_file(forged, bytes_of("hostile"));
  run_on(run, rom, {"list"});
  EXPECT_EQ(run.output.find_first_of("\r\x1b\x7f\t"), std::string::npos);
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 3);
  EXPECT_NE(run.output.find("          " + shown + " (ROM 0x"), std::string::npos);
  EXPECT_NE(run.output.find("____         7         7" + shown + " (ROM 0x"), std::string::npos);
  EXPECT_NE(run.output.find("caf\xc3\xa9 \x80\xff.txt (ROM 0x"), std::string::npos);

  RomBuilder written;
  written.add_module(forged);
  written.add_file("plain.txt", bytes_of("plain"));
  written.add_file(forged, bytes_of("hostile"));
  written.add_file("after.txt", bytes_of("after"));
  run_on(run, written, {"extract"});
  const std::string refusal = "Extracting " + shown + " ...\nUnable to open " + run.out(shown) + "\n";
  EXPECT_EQ(run.output, refusal + "Extracting plain.txt ...\n" + refusal);
  EXPECT_EQ(listing(run.dir / "nk"), std::vector<std::string>{"plain.txt"});

  run_on(run, rom, {"update", "no\x1b]0;such\afile"});
  EXPECT_EQ(run.output, "Unable to find no?]0;such?file on BIN\n");
}

// ---- What only POSIX systems let a test set up -----------------------------
//
// The Windows build refuses reparse points where these refuse links, but
// wine, which runs the Windows tests, makes none to try that with.

#if !defined(_WIN32)

// Runs body in a child process whose files may not grow beyond fsize bytes
// and (outside the sanitizer builds) whose address space may grow by 256 MiB
// at most, and returns what body returned.
std::string in_limited_child(rlim_t fsize, const std::function<std::string()>& body) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);  // as the executable does
#if !defined(__SANITIZE_ADDRESS__)
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t memory = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256u << 20);
    const rlimit as{memory, memory};
    setrlimit(RLIMIT_AS, &as);
#endif
    const rlimit limit{fsize, fsize};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string result = body();
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &unlimited);
    if (write(fds[1], result.data(), result.size()) != static_cast<ssize_t>(result.size())) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return result;
}

// The tool's output for "nk.bin extract" run in a child whose files may not
// grow beyond fsize bytes.
std::string extract_with_file_limit(ToolRun& run, rlim_t fsize) {
  return in_limited_child(fsize, [&] { return run_tool({run.bin, "extract"}, fake_codec_dir()).output; });
}

// ---- Links, FIFOs and files that are not plain ------------------------------

TEST(OutputSafety, LinksUnderTheOutputDirectoryAreNeverFollowed) {
  ToolRun run;
  const std::string outside = run.dir / "outside";
  fs::create_directories(outside);
  fs::create_directories(run.out("real"));
  write_file(outside + "/victim", bytes_of("victim"));
  fs::create_symlink(outside + "/victim", run.out("foo.txt"));
  fs::create_symlink(outside + "/created", run.out("new.txt"));  // dangling
  fs::create_directory_symlink(outside, run.out("sub"));
  fs::create_symlink("../nk.bin", run.out("image.bin"));
  fs::create_directory(run.out("dir.txt"));
  fs::create_hard_link(outside + "/victim", run.out("hard.txt"));

  for (const std::string name : {"foo.txt", "new.txt", "sub/x.txt", "real/../sub/x.txt", "real/./sub/x.txt",
                                  "image.bin", "dir.txt", "./dir.txt", "hard.txt"}) {
    RomBuilder rom;
    rom.add_file("ok.txt", bytes_of("ok"));
    rom.add_file(name, bytes_of("hostile"));
    rom.add_file("after.txt", bytes_of("after"));
    const BinBuilder bin = rom.layout();
    run_on(run, bin, {"extract"});
    EXPECT_EQ(run.output, "Extracting ok.txt ...\nExtracting " + name + " ...\nUnable to open " + run.out(name) + "\n");
    EXPECT_EQ(read_file(outside + "/victim"), bytes_of("victim")) << name;
    EXPECT_EQ(listing(outside), std::vector<std::string>{"victim"}) << name;
    EXPECT_FALSE(file_exists(run.out("after.txt"))) << name;
    EXPECT_EQ(read_file(run.bin), bin.build()) << name;
  }
  // Plain directories on the way are fine, and so is an output directory
  // that is itself a link the user made.
  RomBuilder rom;
  rom.add_file("real/./deep.txt", bytes_of("deep"));
  rom.add_module("foo.txt");  // the module pass refuses the link the same way
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output,
            "Extracting foo.txt ...\nUnable to open " + run.out("foo.txt") + "\nExtracting real/./deep.txt ...\n");
  EXPECT_EQ(run.file("real/deep.txt"), bytes_of("deep"));

  fs::rename(run.dir / "nk", run.dir / "elsewhere");
  fs::create_directory_symlink(run.dir / "elsewhere", run.dir / "nk");
  RomBuilder moved;
  moved.add_file("moved.txt", bytes_of("moved"));
  run_on(run, moved, {"extract"});
  EXPECT_EQ(run.output, "Extracting moved.txt ...\n");
  EXPECT_EQ(read_file(run.dir / "elsewhere/moved.txt"), bytes_of("moved"));
}

TEST(OutputSafety, FifosTheBinFileUnderAnotherNameAndTheJournalAreRefusedUntouched) {
  ToolRun run;
  fs::create_directory(run.out(""));
  ASSERT_EQ(mkfifo(run.out("fifo.txt").c_str(), 0644), 0);
  RomBuilder rom;
  rom.add_file("fifo.txt", bytes_of("into the fifo"));
  run_on(run, rom, {"extract"});  // returns at once: nothing reads the FIFO
  EXPECT_EQ(run.output, "Extracting fifo.txt ...\nUnable to open " + run.out("fifo.txt") + "\n");

  // With a reader the FIFO opens, and is refused all the same.
  const int reader = open(run.out("fifo.txt").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting fifo.txt ...\nUnable to open " + run.out("fifo.txt") + "\n");
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);

  // A hard link to the BIN file is the BIN file: it is refused before
  // anything truncates it.
  RomBuilder same;
  same.add_file("alias.bin", bytes_of("would overwrite the image"));
  same.layout().write(run.bin);
  const Bytes before = read_file(run.bin);
  ASSERT_EQ(link(run.bin.c_str(), run.out("alias.bin").c_str()), 0);
  const std::string output = run_tool({run.bin, "extract"}, fake_codec_dir()).output;
  EXPECT_EQ(output, "Extracting alias.bin ...\nUnable to open " + run.out("alias.bin") + "\n");
  EXPECT_EQ(read_file(run.bin), before);

  // Nor does any output take the place of the BIN file's update journal,
  // down whatever plain directories lead to it.
  fs::create_directory(run.dir / "roms");
  RomBuilder journal;
  journal.add_file("roms/nk.bin-journal", bytes_of("would be played back"));
  journal.layout().write(run.dir / "roms/nk.bin");
  const fs::path previous = fs::current_path();
  fs::current_path(run.dir.path());
  const std::string played = run_tool({"./roms/nk.bin", "extract"}, fake_codec_dir()).output;
  fs::current_path(previous);
  EXPECT_EQ(played, "Extracting roms/nk.bin-journal ...\nUnable to open ./roms/nk.bin-journal\n");
  EXPECT_FALSE(file_exists(run.dir / "roms/nk.bin-journal"));
}

// ---- Failed writes ---------------------------------------------------------

TEST(OutputSafety, FailedWritesAreReportedAndLeaveNoPartialFile) {
  const rlim_t limit = 16 * 1024;
  {
    ToolRun run;
    RomBuilder rom;
    rom.add_file("small.txt", bytes_of("small"));
    rom.add_file("big.bin", modtest::pattern(40000, 1));
    rom.add_file("after.txt", bytes_of("after"));
    rom.layout().write(run.bin);
    EXPECT_EQ(extract_with_file_limit(run, limit),
              "Extracting small.txt ...\nExtracting big.bin ...\nUnable to write " + run.out("big.bin") + "\n");
    EXPECT_EQ(listing(run.dir / "nk"), std::vector<std::string>{"small.txt"});
    EXPECT_EQ(run.file("small.txt"), bytes_of("small"));
  }
  {
    ToolRun run;  // an expansion too large for the disk, then a module's
    RomBuilder rom;
    rom.add_module("big.dll").sections.push_back(modtest::plain(Bytes(30000, 0x90), 0x8000, 0x1000, 0x60000020));
    modtest::add_marked(rom, "never.dll", 1);
    rom.add_file("packed.bin", run_of(20000, 'z', 6), kCompressed).real_size = 20000;
    rom.layout().write(run.bin);
    EXPECT_EQ(extract_with_file_limit(run, limit),
              "Extracting big.dll ...\nUnable to write " + run.out("big.dll") + "\n"
              "Extracting packed.bin ...\nUnable to write " + run.out("packed.bin") + "\n");
    EXPECT_TRUE(listing(run.dir / "nk").empty());
  }
}

// A converted image that does not fit the disk leaves its output path as it
// was, and nothing beside it.
TEST(OutputSafety, AConversionThatCannotBeWrittenLeavesItsOutputAsItWas) {
  ToolRun run;
  RomBuilder rom;
  rom.add_file("big.bin", modtest::pattern(40000, 1));
  rom.layout().write(run.bin);
  const std::string out = run.dir / "nk.nb0";
  write_file(out, bytes_of("the old image"));
  for (const char* form : {"raw", "bin"}) {
    const std::string output =
        in_limited_child(16 * 1024, [&] { return run_tool({run.bin, "convert", form, out}).output; });
    EXPECT_EQ(output, "Writing " + out + " ...\nUnable to write " + out + "\n");
    EXPECT_EQ(read_file(out), bytes_of("the old image"));
    EXPECT_EQ(listing(run.dir.path()), (std::vector<std::string>{"nk.bin", "nk.nb0"}));
  }
}

// A 4 GiB BIN file that costs nothing on disk claims a 3.75 GiB file: it is
// copied in slices until the disk (here, the file size limit) is full.
TEST(OutputSafety, HugeClaimedSizesAreCopiedInSlicesUnderAMemoryLimit) {
  ToolRun run;
  RomBuilder rom;
  rom.image_start = 0x00010000;
  rom.rom_header_address = 0x00011000;
  RomFile& huge = rom.add_file("huge.bin", {});
  huge.load_offset = 0x01000000;
  huge.stored_size = 0xF0000000;
  huge.emit_data = false;
  BinBuilder laid = rom.layout();
  BinBuilder bin;
  bin.image_start = laid.image_start;
  for (const Record& r : laid.records()) bin.add_raw_record(r);
  Record data{0x01000000, bytes_of("head"), std::nullopt, std::nullopt, 0xF0000000ull - 4};
  bin.add_raw_record(data);
  bin.write(run.bin);
  const std::string output = in_limited_child(8u << 20, [&] {
    AllocationProbe probe;
    std::string out = run_tool({run.bin, "extract"}, fake_codec_dir()).output;
    return probe.largest() <= (1u << 20) ? out : "allocated " + std::to_string(probe.largest());
  });
  EXPECT_EQ(output, "Extracting huge.bin ...\nUnable to write " + run.out("huge.bin") + "\n");
  EXPECT_FALSE(file_exists(run.out("huge.bin")));
}

// ---- A closed output pipe ----------------------------------------------------

TEST(OutputSafety, ClosedOutputPipeStillEndsWithExitCodeZero) {
  TempDir dir;
  write_file(dir / "junk.bin", bytes_of("not an image"));
  const std::string program = xipsaw_executable();
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {dir / "junk.bin", "list"}}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody will read
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      signal(SIGPIPE, SIG_DFL);  // as a shell would leave it
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  }
}

#endif  // !_WIN32

}  // namespace
