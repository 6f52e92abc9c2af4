// An update is all or nothing on disk: failed writes at every byte of a unit,
// journals left by crashes, torn and foreign journals, and the real
// executable killed in the middle of an update.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "run/run.h"
#include "files/file_pass.h"
#include "image/journal.h"
#include "opened_image.h"

using namespace testkit;

namespace {

// An image whose file "plain.txt" has 40 bytes of data cut into three
// records and an entry that crosses from one record into the next.
struct JournalImage {
  TempDir dir{memory_directory()};
  std::string bin = dir / "nk.bin";
  std::string journal = bin + "-journal";
  RomBuilder rom;
  Bytes before;

  JournalImage() {
    rom.add_file("first.txt", bytes_of("first"));
    rom.add_file("plain.txt", Bytes(40, 'o'));
    BinBuilder laid = rom.layout();
    laid.split_at(rom.files[1].load_offset + 7);
    laid.split_at(rom.files[1].load_offset + 23);
    laid.split_at(rom.file_entry_address(1) + 14);
    laid.write(bin);
    before = read_file(bin);
  }
  std::string input(const Bytes& content) {
    write_file(dir / "new", content);
    return dir / "new";
  }
  void reset() {
    write_file(bin, before);
    std::filesystem::remove(journal);
  }
};

// The file pass of an update run in-process on an image opened and checked
// as the driver does, so that tests can reach its BIN stream.
struct UpdatePass {
  xipsaw::Run run;
  explicit UpdatePass(const std::string& bin) {
    run.bin_path = bin;
    EXPECT_TRUE(run.stream.open(bin));
    EXPECT_TRUE(xipsaw::read_bin_header(run.image) && xipsaw::read_ecec_header(run.image) &&
                xipsaw::read_rom_header(run.image));
  }
  // Returns what the pass printed.
  std::string update(const std::string& name, const std::string& input) {
    const char* words[] = {name.c_str(), input.c_str()};
    return captured_output([&](std::FILE* out) {
      run.out = out;
      xipsaw::process_files(run, xipsaw::kUpdate, 2, words);
    });
  }
};

// Updates plain.txt with the BIN file's writes failing after budget bytes.
std::string update_failing_after(const std::string& bin, const std::string& input, int64_t budget, bool lasting) {
  UpdatePass pass(bin);
  pass.run.stream.fail_writes_after(budget, lasting);
  return pass.update("plain.txt", input);
}

TEST(UpdateJournal, AWriteFailingAtAnyByteLeavesTheBinFileAsItWas) {
  JournalImage j;
  const std::string input = j.input(bytes_of("0123456789abcdefghijklmnopqrstuvwxyz"));
  run_tool({j.bin, "update", "plain.txt", input}, fake_codec_dir());
  const Bytes after = read_file(j.bin);
  ASSERT_NE(after, j.before);
  ASSERT_TRUE(all_checksums_correct(j.bin));
  const std::string updating = "Updating plain.txt ...\n";
  // A passing error at any byte: the old bytes are back at once. The first
  // budget that suffices is the whole unit.
  int64_t unit_bytes = -1;
  for (int64_t budget = 0; unit_bytes < 0 && budget < 1000; ++budget) {
    SCOPED_TRACE(testing::Message() << "failing once after " << budget << " bytes");
    j.reset();
    const std::string output = update_failing_after(j.bin, input, budget, false);
    if (output == updating) {
      unit_bytes = budget;
      EXPECT_EQ(read_file(j.bin), after);
    } else {
      EXPECT_EQ(output, updating + "Unable to write BIN file; the update of plain.txt was undone\n");
      EXPECT_EQ(read_file(j.bin), j.before);
    }
    EXPECT_FALSE(file_exists(j.journal));
  }
  // 36 bytes of data in three records, the entry across two records (the
  // second shared with the data) and the four records' headers.
  EXPECT_EQ(unit_bytes, 36 + 28 + 4 * 12);

  // A lasting failure: not even the old bytes can be written, and the flush
  // fails. The journal stays, and the next run plays it back.
  for (int64_t budget = 0; budget <= unit_bytes; ++budget) {
    SCOPED_TRACE(testing::Message() << "failing for good after " << budget << " bytes");
    j.reset();
    EXPECT_EQ(update_failing_after(j.bin, input, budget, true),
              updating + "Unable to write BIN file; the next run restores it from " + j.journal + "\n");
    ToolResult list = run_tool({j.bin, "list"});
    EXPECT_EQ(list.output.substr(0, list.output.find('\n') + 1),
              "Restored " + j.bin + " from the journal of an interrupted update\n");
    EXPECT_NE(list.output.find("        40        40             plain.txt"), std::string::npos);
    EXPECT_EQ(read_file(j.bin), j.before);
    EXPECT_FALSE(file_exists(j.journal));
  }
}

TEST(UpdateJournal, AJournalBesideABinFileInFoldersOfAnyScriptIsPlayedBack) {
  JournalImage j;
  const std::string folder = j.dir / "Юрий 資料 😀";
  std::filesystem::create_directory(fs_path(folder));
  const std::string bin = folder + "/образ 𠀀.bin";
  write_file(bin, j.before);
  EXPECT_EQ(update_failing_after(bin, j.input(bytes_of("new content")), 0, true),
            "Updating plain.txt ...\nUnable to write BIN file; the next run restores it from " + bin + "-journal\n");
  ToolResult list = run_tool({bin, "list"});
  EXPECT_EQ(list.output.substr(0, list.output.find('\n') + 1),
            "Restored " + bin + " from the journal of an interrupted update\n");
  EXPECT_EQ(read_file(bin), j.before);
  EXPECT_FALSE(file_exists(bin + "-journal"));
}

TEST(UpdateJournal, IncompleteJournalsAreRemovedAndForeignOnesRefused) {
  JournalImage j;
  const std::string input = j.input(bytes_of("new content"));
  // A complete journal, and a BIN file the unit never reached.
  update_failing_after(j.bin, input, 0, true);
  const Bytes journal = read_file(j.journal);
  ASSERT_EQ(read_file(j.bin), j.before);
  const std::string discarded =
      "Removed the incomplete journal of an interrupted update; " + j.bin + " was not changed\n";
  for (size_t cut : {size_t{0}, size_t{7}, size_t{20}, size_t{40}, journal.size() - 1}) {
    write_file(j.journal, Bytes(journal.begin(), journal.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_EQ(run_tool({j.bin, "list"}).output.rfind(discarded, 0), 0u) << "cut at " << cut;
    EXPECT_FALSE(file_exists(j.journal));
    EXPECT_EQ(read_file(j.bin), j.before);
  }
  Bytes flipped = journal;
  flipped[journal.size() / 2] ^= 1;
  write_file(j.journal, flipped);
  EXPECT_EQ(run_tool({j.bin, "extract"}).output.rfind(discarded, 0), 0u);

  // A whole journal of a BIN file of another size belongs to another image:
  // the run stops and changes nothing.
  write_file(j.journal, journal);
  Bytes longer = j.before;
  longer.push_back(0);
  write_file(j.bin, longer);
  ToolResult r = run_tool({j.bin, "list"});
  EXPECT_EQ(r.output, "Unable to play back the journal " + j.journal + " of an interrupted update\n");
  EXPECT_FALSE(r.waited);
  EXPECT_EQ(read_file(j.bin), longer);
  EXPECT_EQ(read_file(j.journal), journal);
}

TEST(UpdateJournal, AJournalThatCannotBePlayedBackChangesNothing) {
  JournalImage j;
  update_failing_after(j.bin, j.input(bytes_of("0123456789abcdefghijklmnopqrstuvwxyz")), 50, true);
  const Bytes half_written = read_file(j.bin);
  const Bytes journal = read_file(j.journal);
  ASSERT_NE(half_written, j.before);
  {
    // Writes that fail during the playback keep the journal for later.
    xipsaw::BinStream stream;
    ASSERT_TRUE(stream.open(j.bin));
    stream.fail_writes_after(0, true);
    EXPECT_EQ(xipsaw::play_back_journal(stream, j.journal), xipsaw::Playback::failed);
  }
  EXPECT_EQ(read_file(j.journal), journal);
  EXPECT_EQ(read_file(j.bin), half_written);
  if (read_only_not_enforced().empty()) {
    std::filesystem::permissions(j.bin, std::filesystem::perms::owner_read);
    EXPECT_EQ(run_tool({j.bin, "list"}).output,
              "Unable to open BIN file\nThe journal " + j.journal +
                  " of an interrupted update waits until the BIN file can be written\n");
    std::filesystem::permissions(j.bin, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(read_file(j.journal), journal);
  }
  // A journal that cannot be created (a link into nowhere; Windows gives
  // links to administrators only) stops the update before the BIN file
  // changes.
  if (kWindows) return;
  j.reset();
  std::filesystem::create_symlink(j.dir / "missing/journal", j.journal);
  EXPECT_EQ(run_tool({j.bin, "update", "plain.txt", j.dir / "new"}, fake_codec_dir()).output,
            "Updating plain.txt ...\nUnable to write journal " + j.journal + "; the BIN file was not changed\n");
  EXPECT_EQ(read_file(j.bin), j.before);
}

TEST(UpdateJournal, ReadsOfTheUnitSeeItsOwnWritesAndEachRecordIsReadOnce) {
  // The data runs over the file's own entry: the entry is rewritten from the
  // bytes the data put there, as when the data is written first.
  TempDir dir;
  RomBuilder rom;
  rom.add_file("first.txt", bytes_of("first"));
  RomFile& over = rom.add_file("over.bin", {});
  over.emit_data = false;
  over.load_offset = rom.file_entry_address(1) - 4;
  over.stored_size = 64;
  rom.layout().write(dir / "over.bin");
  Bytes content(40);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(0x80 + i);
  write_file(dir / "new", content);
  run_tool({dir / "over.bin", "update", "over.bin", dir / "new"}, fake_codec_dir());
  Bytes expected(content.begin() + 4, content.begin() + 32);
  put_u32(expected, 0, 0);
  put_u32(expected, 12, 40);
  put_u32(expected, 16, 40);
  EXPECT_EQ(OpenedImage(dir / "over.bin").read(rom.file_entry_address(1), 28), expected);
  EXPECT_TRUE(all_checksums_correct(dir / "over.bin"));

  // A small update in a large record reads that record once, not once per
  // write into it.
  RomBuilder big;
  big.add_file("big.dat", Bytes(size_t{1} << 21, 'b'));
  big.layout().write(dir / "big.bin");
  write_file(dir / "new", Bytes(1000, 'n'));
  UpdatePass pass(dir / "big.bin");
  const uint64_t read_before = pass.run.stream.bytes_read();
  EXPECT_EQ(pass.update("big.dat", dir / "new"), "Updating big.dat ...\n");
  const uint64_t read = pass.run.stream.bytes_read() - read_before;
  EXPECT_GE(read, size_t{1} << 21);
  EXPECT_LT(read, (size_t{1} << 21) + 4096);
  EXPECT_TRUE(all_checksums_correct(dir / "big.bin"));
}

TEST(UpdateJournal, NoExtractedFileTakesThePlaceOfTheJournal) {
  // With "./nk.bin" the output directory is the BIN file's own.
  JournalImage j;
  j.rom.add_file("nk.bin-journal", bytes_of("would be taken for a journal"));
  j.rom.layout().write(j.bin);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(j.dir.path());
  ToolResult r = run_tool({"./nk.bin", "extract", "nk.bin-journal"});
  std::filesystem::current_path(previous);
  EXPECT_EQ(r.output, "Extracting nk.bin-journal ...\nUnable to open ./nk.bin-journal\n");
  EXPECT_FALSE(file_exists(j.journal));
}

TEST(UpdateJournal, TheExecutableKilledDuringAnUpdateLeavesTheOldOrTheNewImage) {
  TempDir dir;
  const std::string bin = dir / "nk.bin";
  const std::string journal = bin + "-journal";
  RomBuilder rom;
  rom.add_file("big.dat", Bytes(size_t{4} << 20, 'o'));
  BinBuilder laid = rom.layout();
  laid.max_record_length = 1 << 20;
  laid.write(bin);
  const Bytes before = read_file(bin);
  Bytes content(size_t{4} << 20);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
  write_file(dir / "new", content);
  run_tool({bin, "update", "big.dat", dir / "new"});
  const Bytes after = read_file(bin);

  // Kill it at moments from the journal's first appearance on.
  int interrupted = 0;
  for (int delay_us : {0, 1000, 3000, 10000, 30000}) {
    write_file(bin, before);
    Process update(xipsaw_executable(), {bin, "update", "big.dat", dir / "new"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!file_exists(journal) && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    update.stop(false);
    if (file_exists(journal)) ++interrupted;
    run_tool({bin, "list"});
    const Bytes now = read_file(bin);
    EXPECT_TRUE(now == before || now == after) << "killed " << delay_us << " us after the journal appeared";
    EXPECT_FALSE(file_exists(journal));
  }
  EXPECT_GT(interrupted, 0);
}

}  // namespace
