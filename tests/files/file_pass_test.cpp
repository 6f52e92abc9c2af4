// The file pass: listing lines, selection, extraction with and without
// expansion, how the walk ends, and images whose names and sizes cannot be
// trusted. Every extraction is checked on disk, not only by its messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "../codec/sha256.h"
#include "allocation_probe.h"
#include "tool_run.h"

using namespace testkit;
using filetest::AllocationProbe;

namespace {

constexpr uint32_t kCompressed = 0x800;

// A ROM layout written as <dir>/nk.bin and run through the tool; its output
// directory is <dir>/nk.
struct FileRun {
  TempDir dir;
  std::string bin = dir / "nk.bin";
  std::string output;

  std::string out(const std::string& name) const { return dir.path() + "/nk/" + name; }
  Bytes file(const std::string& name) const { return read_file(out(name)); }
};

void run_on(FileRun& run, const BinBuilder& bin, const std::vector<std::string>& command,
            const std::string& library_dir = fake_codec_dir()) {
  bin.write(run.bin);
  std::vector<std::string> args{run.bin};
  args.insert(args.end(), command.begin(), command.end());
  run.output = run_tool(args, library_dir).output;
}

void run_on(FileRun& run, RomBuilder& rom, const std::vector<std::string>& command,
            const std::string& library_dir = fake_codec_dir()) {
  run_on(run, rom.layout(), command, library_dir);
}

// Data for the stand-in library: 'C' expands to the bytes that follow, 'H'
// to the first half of them, 'R' to a run; anything else fails.
Bytes packed(char form, const std::string& text) { return bytes_of(std::string(1, form) + text); }
Bytes run_of(uint32_t count, uint8_t byte) {
  Bytes b{'R', 0, 0, 0, 0, byte};
  put_u32(b, 1, count);
  return b;
}

// A file entry that only the listing looks at: its data is never laid out.
RomFile& listed(RomBuilder& rom, const std::string& name, uint32_t attributes, uint32_t real_size,
                uint32_t stored_size, uint32_t load_offset) {
  RomFile& f = rom.add_file(name, {}, attributes);
  f.real_size = real_size;
  f.stored_size = stored_size;
  f.load_offset = load_offset;
  f.emit_data = false;
  return f;
}

// A module with one small section, which the module pass can rebuild.
void add_small_module(RomBuilder& rom, const std::string& name) {
  RomSection text;
  text.data = Bytes(16, 0x90);
  text.virtual_size = 0x1000;
  text.rva = 0x1000;
  text.flags = 0x60000020;
  rom.add_module(name).sections.push_back(text);
}

// The compressed files among the real samples, with the size and SHA-256 of
// their expansions and the capacity their entries give.
struct Sample {
  std::string name;
  uint32_t size = 0;
  uint32_t capacity = 0;
  std::string sha256;
  Bytes data;
};

Sample sample(const std::string& name) {
  std::ifstream sums(std::string(XIPSAW_SAMPLES_DIR) + "/SHA256SUMS");
  Sample s;
  while (sums >> s.sha256 >> s.size >> s.capacity >> s.name)
    if (s.name == name) {
      s.data = read_file(std::string(XIPSAW_SAMPLES_DIR) + "/" + name);
      return s;
    }
  ADD_FAILURE() << "no sample " << name;
  return {};
}

std::string sha256_of(const Bytes& b) { return sha256_hex(b.data(), b.size()); }

std::string hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

// ---- Listing ---------------------------------------------------------------

TEST(FileListing, LinesByteForByte) {
  RomBuilder rom;
  listed(rom, "readme.txt", 0x801, 40960, 17021, 0x2000);
  listed(rom, "twenty-two-characters!", 0, 0x80000000u, 0xFFFFFFFFu, 0xDEADBEEF);
  listed(rom, "a_name_of_thirty_one_characters", 0x1, 0x7FFFFFFF, 0x80000001u, 0xFFFFFFFF);
  listed(rom, "", 0, 0, 0, 0x100);
  FileRun run;
  run_on(run, rom, {"list", "ignored", "words"});
  EXPECT_EQ(run.output,
            "C__S     40960     17021            readme.txt (ROM 0x00002000)\n"
            "____-2147483648        -1twenty-two-characters! (ROM 0xdeadbeef)\n"
            "___S2147483647-2147483647a_name_of_thirty_one_characters (ROM 0xffffffff)\n"
            "____         0         0" + std::string(22, ' ') + " (ROM 0x00000100)\n");
  EXPECT_FALSE(file_exists(run.dir / "nk"));
}

TEST(FileListing, LettersFollowTheirOwnBits) {
  const std::vector<std::pair<uint32_t, std::string>> cases = {
      {0x800, "C___"}, {0x4, "_H__"},    {0x2, "__R_"},     {0x1, "___S"},
      {0x807, "CHRS"}, {0x1000, "____"}, {~0x807u, "____"}, {0x805, "CH_S"}};
  RomBuilder rom;
  for (const auto& [attributes, letters] : cases) listed(rom, letters, attributes, 1, 1, 0x10);
  FileRun run;
  run_on(run, rom, {"list"});
  std::string expected;
  for (const auto& [attributes, letters] : cases)
    expected += letters + "         1         1                  " + letters + " (ROM 0x00000010)\n";
  EXPECT_EQ(run.output, expected);
}

// ---- Selection -------------------------------------------------------------

TEST(FileSelection, NoWordsTakeEverythingWordsTakeExactNamesOnce) {
  RomBuilder rom;
  rom.add_file("a.txt", bytes_of("alpha"));
  rom.add_file("B.txt", bytes_of("bravo"));
  rom.add_file("c.txt", bytes_of("charlie"));

  FileRun all;
  run_on(all, rom, {"extract"});
  EXPECT_EQ(all.output, "Extracting a.txt ...\nExtracting B.txt ...\nExtracting c.txt ...\n");
  EXPECT_EQ(all.file("a.txt"), bytes_of("alpha"));
  EXPECT_EQ(all.file("B.txt"), bytes_of("bravo"));
  EXPECT_EQ(all.file("c.txt"), bytes_of("charlie"));

  FileRun some;
  run_on(some, rom, {"extract", "A.TXT", "c.txt", "c.txt", "b.txt", "c.tx", "missing.txt"});
  EXPECT_EQ(some.output, "Extracting c.txt ...\n");
  EXPECT_EQ(some.file("c.txt"), bytes_of("charlie"));
  EXPECT_FALSE(file_exists(some.out("a.txt")));
  EXPECT_FALSE(file_exists(some.out("B.txt")));
  EXPECT_FALSE(file_exists(some.out("b.txt")));
}

TEST(FileSelection, LaterEntryOfOneNameIsWhatRemains) {
  RomBuilder rom;
  rom.add_file("dup.txt", bytes_of("the first and longer content"));
  rom.add_file("other.txt", bytes_of("other"));
  rom.add_file("dup.txt", bytes_of("second"));
  FileRun run;
  run_on(run, rom, {"extract", "dup.txt"});
  EXPECT_EQ(run.output, "Extracting dup.txt ...\nExtracting dup.txt ...\n");
  EXPECT_EQ(run.file("dup.txt"), bytes_of("second"));  // truncated, not overlaid
}

TEST(FileSelection, FileReplacesTheModuleOfTheSameName) {
  RomBuilder rom;
  add_small_module(rom, "same.dll");
  add_small_module(rom, "other.dll");
  rom.add_file("same.dll", bytes_of("plain file content"));
  FileRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting same.dll ...\nExtracting other.dll ...\nExtracting same.dll ...\n");
  EXPECT_EQ(run.file("same.dll"), bytes_of("plain file content"));
  EXPECT_EQ(run.file("other.dll").at(0), 'M');  // the module pass did write
}

// ---- Expansion -------------------------------------------------------------

TEST(FileExtraction, RealCompressedFilesThroughTheRealLibrary) {
  const Sample initdb = sample("initdb.ini.lzx");
  const Sample hive = sample("user.hv.lzx");
  RomBuilder rom;
  rom.add_file("initdb.ini", initdb.data, kCompressed).real_size = initdb.capacity;
  rom.add_file("user.hv", hive.data, kCompressed).real_size = hive.capacity;
  // A capacity no buffer is ever taken for gives the same content.
  rom.add_file("user.hv.huge", hive.data, kCompressed).real_size = 0xFFFFFFFF;
  BinBuilder bin = rom.layout();
  bin.max_record_length = 1000;  // the data runs through many records

  FileRun run;
  AllocationProbe probe;
  run_on(run, bin, {"extract"}, real_codec_dir());
  EXPECT_LT(probe.largest(), 64u << 20);
  EXPECT_EQ(run.output, "Extracting initdb.ini ...\nExtracting user.hv ...\nExtracting user.hv.huge ...\n");
  for (const auto& [name, s] : {std::pair{"initdb.ini", initdb}, {"user.hv", hive}, {"user.hv.huge", hive}}) {
    const Bytes written = run.file(name);
    EXPECT_EQ(written.size(), s.size) << name;
    EXPECT_EQ(sha256_of(written), s.sha256) << name;
  }
}

TEST(FileExtraction, FailedExpansionLeavesAnEmptyFileAndTheWalkGoesOn) {
  RomBuilder rom;
  rom.add_file("good.txt", packed('C', "good"), kCompressed).real_size = 4;
  rom.add_file("bad.txt", packed('X', "junk"), kCompressed).real_size = 4;
  rom.add_file("half.txt", packed('H', "abcdefgh"), kCompressed).real_size = 100;
  rom.add_file("tight.txt", packed('C', "too long"), kCompressed).real_size = 3;
  rom.add_file("run.bin", run_of(5000, 'z'), kCompressed).real_size = 0xFFFFFFFF;
  rom.add_file("plain.txt", packed('X', "stored as is"));  // no compressed bit: written raw
  FileRun run;
  std::filesystem::create_directory(run.dir / "nk");
  write_file(run.out("bad.txt"), bytes_of("stale content"));
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output,
            "Extracting good.txt ...\n"
            "Extracting bad.txt ...\nError in CEDecompress()\n"
            "Extracting half.txt ...\n"
            "Extracting tight.txt ...\nError in CEDecompress()\n"
            "Extracting run.bin ...\n"
            "Extracting plain.txt ...\n");
  EXPECT_EQ(run.file("good.txt"), bytes_of("good"));
  EXPECT_EQ(run.file("bad.txt"), Bytes{});
  EXPECT_EQ(run.file("half.txt"), bytes_of("abcd"));  // what the library reported, not real_size
  EXPECT_EQ(run.file("tight.txt"), Bytes{});
  EXPECT_EQ(run.file("run.bin"), Bytes(5000, 'z'));
  EXPECT_EQ(run.file("plain.txt"), bytes_of("Xstored as is"));
}

TEST(FileExtraction, EmptyContentMakesEmptyFiles) {
  RomBuilder rom;
  rom.add_file("empty.txt", {}).load_offset = rom.rom_header_address;  // held, though none of it is read
  rom.add_file("nothing.z", packed('C', ""), kCompressed).real_size = 0;
  rom.add_file("after.txt", bytes_of("after"));
  FileRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting empty.txt ...\nExtracting nothing.z ...\nExtracting after.txt ...\n");
  EXPECT_EQ(run.file("empty.txt"), Bytes{});
  EXPECT_EQ(run.file("nothing.z"), Bytes{});
  EXPECT_EQ(run.file("after.txt"), bytes_of("after"));
}

// ---- How the walk ends -----------------------------------------------------

TEST(FileWalk, EmptyTable) {
  RomBuilder rom;
  BinBuilder bin = rom.layout();
  bin.put(rom.file_table_address(), Bytes(4, 0));  // the table's address is still located
  for (const char* command : {"list", "extract"}) {
    FileRun run;
    run_on(run, bin, {command});
    EXPECT_EQ(run.output, "") << command;
    EXPECT_FALSE(file_exists(run.dir / "nk")) << command;
  }
  FileRun update;
  run_on(update, bin, {"update", "x.txt"});
  EXPECT_EQ(update.output, "Unable to find x.txt on BIN\n");
}

TEST(FileWalk, TableAddressInNoRecord) {
  RomBuilder rom;
  add_small_module(rom, "m.dll");
  rom.file_count = 2;
  rom.data_start = rom.rom_header_address + 0x1000;  // nothing right after the module table
  for (const char* command : {"list", "extract"}) {
    FileRun run;
    run_on(run, rom, {command});
    const size_t module_line = run.output.find('\n') + 1;
    EXPECT_EQ(run.output.substr(module_line), "Unable to read block file\n") << command;
  }
}

TEST(FileWalk, NameInNoRecordEndsTheWalk) {
  RomBuilder rom;
  rom.add_file("one.txt", bytes_of("one"));
  rom.add_file("lost.txt", bytes_of("lost")).emit_name = false;
  rom.add_file("three.txt", bytes_of("three"));
  FileRun list;
  run_on(list, rom, {"list"});
  EXPECT_EQ(list.output.substr(list.output.find('\n') + 1), "Unable to read block file\n");
  EXPECT_NE(list.output.find("one.txt"), std::string::npos);

  FileRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting one.txt ...\nUnable to read block file\n");
  EXPECT_EQ(run.file("one.txt"), bytes_of("one"));
  EXPECT_FALSE(file_exists(run.out("three.txt")));
}

TEST(FileWalk, DataInNoRecordCreatesNoFileAndEndsThePass) {
  RomBuilder rom;
  rom.add_file("one.txt", bytes_of("one"));
  rom.add_file("nodata.txt", bytes_of("gone")).emit_data = false;
  rom.add_file("three.txt", bytes_of("three"));
  FileRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting one.txt ...\nExtracting nodata.txt ...\nUnable to read block file\n");
  EXPECT_EQ(run.file("one.txt"), bytes_of("one"));
  EXPECT_FALSE(file_exists(run.out("nodata.txt")));
  EXPECT_FALSE(file_exists(run.out("three.txt")));

  // An existing file of that name is left as it was.
  write_file(run.out("nodata.txt"), bytes_of("kept"));
  run_on(run, rom, {"extract", "nodata.txt"});
  EXPECT_EQ(run.file("nodata.txt"), bytes_of("kept"));

  FileRun list;  // the listing never looks at the data
  run_on(list, rom, {"list"});
  EXPECT_EQ(std::count(list.output.begin(), list.output.end(), '\n'), 3);
}

TEST(FileWalk, OutputThatCannotBeOpenedEndsThePass) {
  RomBuilder rom;
  rom.add_file("one.txt", bytes_of("one"));
  rom.add_file("sub/two.txt", bytes_of("two"));
  rom.add_file("three.txt", bytes_of("three"));
  FileRun run;
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.output, "Extracting one.txt ...\nExtracting sub/two.txt ...\nUnable to open " + run.out("sub/two.txt") +
                            "\n");
  EXPECT_EQ(run.file("one.txt"), bytes_of("one"));
  EXPECT_FALSE(file_exists(run.out("sub")));
  EXPECT_FALSE(file_exists(run.out("three.txt")));

  // Below an existing directory the name is an ordinary output path.
  std::filesystem::create_directory(run.out("sub"));
  run_on(run, rom, {"extract"});
  EXPECT_EQ(run.file("sub/two.txt"), bytes_of("two"));
  EXPECT_EQ(run.file("three.txt"), bytes_of("three"));
}

// ---- Names and sizes from a hostile image ---------------------------------

TEST(FileHostileImage, NamesLeavingTheOutputDirectoryAreNeverWritten) {
  FileRun run;
  std::filesystem::create_directories(run.out("a"));  // so that a/../../x would resolve
  const std::string absolute = run.dir / "abs.txt";
  for (const std::string& name : {absolute, std::string("../up.txt"), std::string("a/../../up2.txt"),
                                  std::string("C:x"), std::string(".."),
                                  std::string("x/../../up.txt"), std::string("a/..")}) {
    RomBuilder rom;
    rom.add_file("ok.txt", bytes_of("ok"));
    rom.add_file(name, bytes_of("hostile"));
    rom.add_file("after.txt", bytes_of("after"));
    std::filesystem::remove(run.out("ok.txt"));
    run_on(run, rom, {"extract"});
    EXPECT_EQ(run.output, "Extracting ok.txt ...\nExtracting " + name + " ...\nUnable to open " + run.out(name) + "\n");
    EXPECT_EQ(run.file("ok.txt"), bytes_of("ok")) << name;
    EXPECT_FALSE(file_exists(absolute)) << name;
    EXPECT_FALSE(file_exists(run.dir / "up.txt")) << name;
    EXPECT_FALSE(file_exists(run.dir / "up2.txt")) << name;
    EXPECT_FALSE(file_exists(run.out("C:x"))) << name;
    EXPECT_FALSE(file_exists(run.out("after.txt"))) << name;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run.dir.path()), {}), 2);  // nk.bin, nk

  // Dots that are not a ".." component make ordinary names.
  const std::vector<std::pair<std::string, std::string>> ordinary = {
      {"..hidden", "..hidden"}, {"a/..b", "a/..b"}, {".profile", ".profile"}, {"a/./c", "a/c"}};
  RomBuilder rom;
  for (const auto& [name, path] : ordinary) rom.add_file(name, bytes_of(name));
  run_on(run, rom, {"extract"});
  for (const auto& [name, path] : ordinary) EXPECT_EQ(run.file(path), bytes_of(name)) << name;
}

// Windows would take these names for a device, strip the dot or space they
// end in, or write an alternate data stream: refused there, creating
// nothing. Elsewhere they are ordinary names.
TEST(FileHostileImage, NamesWindowsWouldAlterAreRefusedThere) {
  FileRun run;
  std::filesystem::create_directories(run.out("a"));
  const std::vector<std::string> names = {"NUL",      "con",      "nUl.txt", "aux.tar.gz", "PRN", "COM1",
                                          "lpt9.log", "com\xB9",  "a/CON",   "nul .txt",   "x.",  "x..",
                                          "x ",       "a/... ",   "a/.. ",   "notes.txt:hidden", "ab:c"};
  for (const std::string& name : names) {
    RomBuilder rom;
    rom.add_file("ok.txt", bytes_of("ok"));
    rom.add_file(name, bytes_of("hostile"));
    rom.add_file("after.txt", bytes_of("after"));
    run_on(run, rom, {"extract"});
    if (kWindows) {
      EXPECT_EQ(run.output,
                "Extracting ok.txt ...\nExtracting " + name + " ...\nUnable to open " + run.out(name) + "\n");
      EXPECT_FALSE(file_exists(run.out("after.txt"))) << name;
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run.out("")), {}), 2) << name;  // ok.txt, a
      EXPECT_TRUE(std::filesystem::is_empty(run.out("a"))) << name;
    } else {
      EXPECT_EQ(run.file(name), bytes_of("hostile")) << name;
      EXPECT_EQ(run.file("after.txt"), bytes_of("after")) << name;
      std::filesystem::remove(run.out(name));
      std::filesystem::remove(run.out("after.txt"));
    }
  }
  // Near misses are ordinary names everywhere.
  RomBuilder rom;
  const std::vector<std::string> ordinary = {"console.txt", "COM10", "lpt", "nul_", "auxiliary.bin", "a/.x", "x.y"};
  for (const std::string& name : ordinary) rom.add_file(name, bytes_of(name));
  run_on(run, rom, {"extract"});
  for (const std::string& name : ordinary) EXPECT_EQ(run.file(name), bytes_of(name)) << name;
}

TEST(FileHostileImage, EmptyOutputDirectoryWritesIntoTheCurrentOne) {
  FileRun run;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(run.dir.path());
  RomBuilder rom;
  rom.add_file("readme.txt", bytes_of("here"));
  rom.add_file(".nk.bin", bytes_of("would overwrite the BIN file"));
  rom.add_file("after.txt", bytes_of("after"));
  rom.layout().write(".nk.bin");
  const Bytes before = read_file(".nk.bin");
  const std::string output = run_tool({".nk.bin", "extract"}, fake_codec_dir()).output;
  std::filesystem::current_path(previous);
  EXPECT_EQ(output, "Extracting readme.txt ...\nExtracting .nk.bin ...\nUnable to open ./.nk.bin\n");
  EXPECT_EQ(read_file(run.dir / "readme.txt"), bytes_of("here"));
  EXPECT_EQ(read_file(run.dir / ".nk.bin"), before);
  EXPECT_FALSE(file_exists(run.dir / "after.txt"));
}

TEST(FileHostileImage, StoredSizeBeyondTheImageTakesOnlyWhatTheRecordsHold) {
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  RomBuilder rom;
  // Islands of their own: the compressed one whole, the plain one split in two.
  rom.add_file("tail.txt", packed('C', "tail"), kCompressed).load_offset = 0x80200000;
  rom.files.back().stored_size = 0xFFFFFFFF;
  rom.files.back().real_size = 4;
  rom.add_file("gap.bin", data).load_offset = 0x80100000;
  rom.files.back().stored_size = 0xFFFFFFF0;
  rom.add_file("last.bin", data).stored_size = 0x7FFFFFFF;  // the image's last bytes
  BinBuilder bin = rom.layout();
  bin.split_at(0x80100000 + 123);

  FileRun run;
  AllocationProbe probe;
  run_on(run, bin, {"extract"});
  EXPECT_LT(probe.largest(), 1u << 20);
  EXPECT_EQ(run.output, "Extracting tail.txt ...\nExtracting gap.bin ...\nExtracting last.bin ...\n");
  EXPECT_EQ(run.file("tail.txt"), bytes_of("tail"));  // the short data went to the library as it is
  EXPECT_EQ(run.file("gap.bin"), data);
  EXPECT_EQ(run.file("last.bin"), data);
}

TEST(FileHostileImage, RecordCutShortByTheEndOfTheFile) {
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  RomBuilder plain;
  plain.add_file("cut.bin", data);  // the file's last bytes
  BinBuilder bin = plain.layout();
  bin.end_record = false;
  const size_t full = bin.build().size();
  bin.truncate_to = full - 200;
  FileRun plain_run;
  run_on(plain_run, bin, {"extract"});
  EXPECT_EQ(plain_run.file("cut.bin"), Bytes(data.begin(), data.begin() + 100));

  RomBuilder packed_rom;
  packed_rom.add_file("cut.txt", packed('C', "hello"), kCompressed).real_size = 5;
  BinBuilder cut = packed_rom.layout();
  cut.end_record = false;
  cut.truncate_to = cut.build().size() - 2;  // "Chel" of "Chello" is there
  FileRun run;
  run_on(run, cut, {"extract"});
  EXPECT_EQ(run.output, "Extracting cut.txt ...\n");
  EXPECT_EQ(run.file("cut.txt"), bytes_of("hel"));
}

TEST(FileHostileImage, CountBeyondTheImageStopsAtTheFirstEntryNotHeld) {
  RomBuilder rom;
  rom.add_file("one.txt", bytes_of("one"));
  rom.add_file("two.txt", bytes_of("two"));
  rom.file_count = 0xFFFFFFFF;
  rom.data_start = rom.rom_header_address + 0x10000;  // nothing follows the two entries
  for (const char* command : {"list", "extract"}) {
    FileRun run;
    AllocationProbe probe;
    run_on(run, rom, {command});
    EXPECT_LT(probe.largest(), 1u << 20) << command;
    const size_t second_line = run.output.find('\n', run.output.find('\n') + 1) + 1;
    EXPECT_EQ(run.output.substr(second_line), "Unable to read block file\n") << command;
    if (std::string(command) == "extract") {
      EXPECT_EQ(run.file("one.txt"), bytes_of("one"));
      EXPECT_EQ(run.file("two.txt"), bytes_of("two"));
    }
  }
}

// ---- Records ---------------------------------------------------------------

TEST(FileRecords, NamesAndDataAcrossRecordsAndTheBinFileUntouched) {
  Bytes data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251);
  RomBuilder rom;
  rom.add_file("first_name_that_crosses.txt", data);
  rom.add_file("packed.txt", packed('C', std::string(700, 'p')), kCompressed).real_size = 700;
  BinBuilder laid = rom.layout();
  laid.split_at(rom.files[0].name_address + 5);
  laid.split_at(rom.files[1].name_address + 1);
  laid.split_at(rom.files[0].load_offset + 4999);
  laid.max_record_length = 97;
  // The same records, one of them with a wrong checksum: extraction neither
  // tests nor repairs checksums.
  BinBuilder bin;
  for (Record r : laid.records()) {
    if (r.address <= rom.files[0].load_offset + 2000 && rom.files[0].load_offset + 2000 < r.address + r.data.size())
      r.checksum = byte_sum(r.data) + 1;
    bin.add_raw_record(r);
  }

  FileRun run;
  bin.write(run.bin);
  const Bytes before = read_file(run.bin);
  ASSERT_FALSE(all_checksums_correct(run.bin));
  const std::string listing = run_tool({run.bin, "list"}, fake_codec_dir()).output;
  EXPECT_EQ(read_file(run.bin), before);
  EXPECT_EQ(listing,
            "____      5000      5000first_name_that_crosses.txt (ROM 0x" + hex8(rom.files[0].load_offset) + ")\n"
            "C___       700       701            packed.txt (ROM 0x" + hex8(rom.files[1].load_offset) + ")\n");
  const std::string extracting = run_tool({run.bin, "extract"}, fake_codec_dir()).output;
  EXPECT_EQ(read_file(run.bin), before);
  EXPECT_EQ(extracting, "Extracting first_name_that_crosses.txt ...\nExtracting packed.txt ...\n");
  EXPECT_EQ(run.file("first_name_that_crosses.txt"), data);
  EXPECT_EQ(run.file("packed.txt"), Bytes(700, 'p'));
}

}  // namespace
