// The in-place update: what the BIN file holds afterwards, and that nothing
// is ever half written.
#include <gtest/gtest.h>

#include <filesystem>

#include "opened_image.h"

using namespace testkit;

namespace {

struct StoredEntry {
  uint32_t attributes, time_low, time_high, real_size, stored_size, name_address, load_offset;
};

// Reads image bytes back out of a BIN file the way the tool does.
Bytes image_bytes(const std::string& path, uint32_t address, uint32_t count) {
  OpenedImage opened(path);
  uint32_t got = 0;
  Bytes out = opened.read(address, count, &got);
  EXPECT_EQ(got, count);
  return out;
}

StoredEntry entry_in(const std::string& path, const RomBuilder& rom, uint32_t index) {
  Bytes e = image_bytes(path, rom.file_entry_address(index), 28);
  return {get_u32(e, 0), get_u32(e, 4), get_u32(e, 8), get_u32(e, 12), get_u32(e, 16), get_u32(e, 20), get_u32(e, 24)};
}

// An image with a module and files of every kind the tests update.
struct UpdateImage {
  TempDir dir;
  std::string bin = dir / "nk.bin";
  RomBuilder rom;

  UpdateImage() {
    rom.add_module("kernel.dll");
    rom.add_file("plain.txt", bytes_of("0123456789"), 0x1).file_time = 0x1122334455667788ull;
    rom.add_file("packed.txt", bytes_of("C0123456789ABCDEF"), 0x802).real_size = 16;
    rom.add_file("twice.txt", bytes_of("aaaaaaaa"));
    rom.add_file("twice.txt", bytes_of("bbbbbbbbbbbb"));
  }
  void write(BinBuilder bin_builder) { bin_builder.write(bin); }
  void write() { write(rom.layout()); }
  ToolResult update(const std::vector<std::string>& words, const std::string& library = fake_codec_dir()) {
    std::vector<std::string> args{bin, "update"};
    args.insert(args.end(), words.begin(), words.end());
    return run_tool(args, library);
  }
  std::string input(const std::string& name, const Bytes& content) {
    write_file(dir / name, content);
    return dir / name;
  }
};

TEST(FileUpdate, RawContentThatFitsAnUncompressedEntry) {
  UpdateImage u;
  u.write();
  const RomFile& f = u.rom.files[0];
  // Exactly stored_size bytes, then fewer: the old tail stays.
  ToolResult r = u.update({"plain.txt", u.input("new", bytes_of("ABCDEFGHIJ"))});
  EXPECT_EQ(r.output, "Updating plain.txt ...\n");
  r = u.update({"plain.txt", u.input("new", bytes_of("xyz"))});
  EXPECT_EQ(image_bytes(u.bin, f.load_offset, 10), bytes_of("xyzDEFGHIJ"));
  StoredEntry e = entry_in(u.bin, u.rom, 0);
  EXPECT_EQ(e.attributes, 0x1u);
  EXPECT_EQ(e.real_size, 3u);
  EXPECT_EQ(e.stored_size, 3u);
  EXPECT_EQ(e.time_low, 0x55667788u);
  EXPECT_EQ(e.time_high, 0x11223344u);
  EXPECT_EQ(e.name_address, f.name_address);
  EXPECT_EQ(e.load_offset, f.load_offset);
  EXPECT_TRUE(all_checksums_correct(u.bin));

  // An empty input writes no data and sets both sizes to 0.
  u.update({"plain.txt", u.input("empty", {})});
  e = entry_in(u.bin, u.rom, 0);
  EXPECT_EQ(e.real_size, 0u);
  EXPECT_EQ(e.stored_size, 0u);
  EXPECT_EQ(image_bytes(u.bin, f.load_offset, 10), bytes_of("xyzDEFGHIJ"));
}

TEST(FileUpdate, ContentOneByteOverIsCompressedWhenThatFits) {
  UpdateImage u;
  u.write();
  // Eleven equal bytes: the stand-in codec stores a run in 6 bytes.
  ToolResult r = u.update({"plain.txt", u.input("run", Bytes(11, 'z'))});
  EXPECT_EQ(r.output, "Updating plain.txt ...\n");
  StoredEntry e = entry_in(u.bin, u.rom, 0);
  EXPECT_EQ(e.attributes, 0x801u);
  EXPECT_EQ(e.real_size, 11u);
  EXPECT_EQ(e.stored_size, 6u);
  EXPECT_EQ(image_bytes(u.bin, u.rom.files[0].load_offset, 10), (Bytes{'R', 11, 0, 0, 0, 'z', '6', '7', '8', '9'}));
  EXPECT_TRUE(all_checksums_correct(u.bin));
  // The entry now extracts to the new content.
  run_tool({u.bin, "extract", "plain.txt"}, fake_codec_dir());
  EXPECT_EQ(read_file(u.dir / "nk/plain.txt"), Bytes(11, 'z'));
}

TEST(FileUpdate, RefusedContentLeavesTheBinFileUnchanged) {
  UpdateImage u;
  u.write();
  const Bytes before = read_file(u.bin);
  const std::string too_large =
      "The size of the updated file must be less-then or equal to the size of the old file.\n"
      "This feature might be introduced in a newer version.\n";
  // Eleven varied bytes: 12 bytes compressed, more than the old 10.
  ToolResult r = u.update({"plain.txt", u.input("big", bytes_of("0123456789A"))});
  EXPECT_EQ(r.output, "Updating plain.txt ...\n" + too_large +
                          "Updated file (COMPRESSED): 12 bytes   Old file (COMPRESSED): 10 bytes\n");
  r = u.update({"packed.txt", u.input("over", bytes_of("0123456789ABCDEFG"))});  // one byte over
  EXPECT_EQ(r.output, "Updating packed.txt ...\n" + too_large +
                          "Updated file (COMPRESSED): 18 bytes   Old file (COMPRESSED): 17 bytes\n");
  r = u.update({"packed.txt", u.input("bad", bytes_of("NOCOMPRESS"))});
  EXPECT_EQ(r.output, "Updating packed.txt ...\nError in CECompress()\n");
  r = u.update({"Plain.txt", u.input("x", bytes_of("x"))});  // names match case-sensitively
  EXPECT_EQ(r.output, "Unable to find Plain.txt on BIN\n");
  r = u.update({"kernel.dll", u.input("x", bytes_of("x"))});  // modules cannot be updated
  EXPECT_EQ(r.output, "Unable to find kernel.dll on BIN\n");
  r = u.update({"plain.txt", u.dir / "missing"});
  EXPECT_EQ(r.output, "Updating plain.txt ...\nUnable to stat file " + u.dir / "missing" + "\n");
  r = u.update({"plain.txt", u.dir.path()});
  EXPECT_EQ(r.output, "Updating plain.txt ...\nUnable to open file " + u.dir.path() + "\n");
  EXPECT_EQ(read_file(u.bin), before);
}

TEST(FileUpdate, CompressedEntriesAreAlwaysCompressedAgain) {
  UpdateImage u;
  u.write();
  u.update({"packed.txt", u.input("short", bytes_of("hi"))});
  StoredEntry e = entry_in(u.bin, u.rom, 1);
  EXPECT_EQ(e.attributes, 0x802u);
  EXPECT_EQ(e.real_size, 2u);
  EXPECT_EQ(e.stored_size, 3u);
  EXPECT_EQ(image_bytes(u.bin, u.rom.files[1].load_offset, 4), bytes_of("Chi2"));
}

TEST(FileUpdate, EveryEntryOfTheNameIsUpdatedFromOneWord) {
  UpdateImage u;
  u.write();
  u.input("twice.txt", bytes_of("new!"));
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(u.dir.path());  // one word: the input comes from the current directory
  ToolResult r = u.update({"twice.txt"});
  std::filesystem::current_path(previous);
  EXPECT_EQ(r.output, "Updating twice.txt ...\nUpdating twice.txt ...\n");
  EXPECT_EQ(image_bytes(u.bin, u.rom.files[2].load_offset, 8), bytes_of("new!aaaa"));
  EXPECT_EQ(image_bytes(u.bin, u.rom.files[3].load_offset, 12), bytes_of("new!bbbbbbbb"));
  EXPECT_EQ(entry_in(u.bin, u.rom, 2).stored_size, 4u);
  EXPECT_EQ(entry_in(u.bin, u.rom, 3).stored_size, 4u);
}

TEST(FileUpdate, DataAndEntryAcrossRecords) {
  UpdateImage u;
  BinBuilder bin = u.rom.layout();
  bin.split_at(u.rom.files[0].load_offset + 4);
  bin.split_at(u.rom.file_entry_address(0) + 14);
  u.write(bin);
  u.update({"plain.txt", u.input("new", bytes_of("ABCDEFGH"))});
  EXPECT_EQ(image_bytes(u.bin, u.rom.files[0].load_offset, 10), bytes_of("ABCDEFGH89"));
  EXPECT_EQ(entry_in(u.bin, u.rom, 0).stored_size, 8u);
  EXPECT_TRUE(all_checksums_correct(u.bin));
}

TEST(FileUpdate, DestinationsOutsideTheRecordsWriteNothing) {
  {
    // The data runs into a gap after its first 4 bytes.
    UpdateImage u;
    BinBuilder bin = u.rom.layout();
    const uint32_t gap = u.rom.files[0].load_offset + 4;
    const uint32_t end = u.rom.files.back().load_offset + 64;
    bin.add_record(u.rom.image_start + 0x40, 8);
    bin.add_record(u.rom.rom_header_address, gap - u.rom.rom_header_address);
    bin.add_record(gap + 8, end - (gap + 8));
    u.write(bin);
    const Bytes before = read_file(u.bin);
    ToolResult r = u.update({"plain.txt", u.input("new", bytes_of("ABCDEFGHIJ"))});
    EXPECT_EQ(r.output, "Updating plain.txt ...\nUnable to read block file\n");
    EXPECT_EQ(read_file(u.bin), before);
  }
  {
    // The data is in no record at all.
    UpdateImage u;
    u.rom.files[0].emit_data = false;
    u.rom.files[0].load_offset = 0x90000000;
    u.write();
    const Bytes before = read_file(u.bin);
    ToolResult r = u.update({"plain.txt", u.input("new", bytes_of("A"))});
    EXPECT_EQ(r.output, "Updating plain.txt ...\nUnable to read block file\n");
    EXPECT_EQ(read_file(u.bin), before);
  }
}

TEST(FileUpdate, RoundTripThroughTheRealLibrary) {
  UpdateImage u;
  std::string text;
  for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i % 7) + " of a configuration file\r\n";
  u.rom.files[0].data = Bytes(2000, 0);  // room for the compressed form only
  u.write();
  ToolResult r = u.update({"plain.txt", u.input("config.ini", bytes_of(text))}, real_codec_dir());
  ASSERT_EQ(r.output, "Updating plain.txt ...\n");
  StoredEntry e = entry_in(u.bin, u.rom, 0);
  EXPECT_EQ(e.attributes, 0x801u);
  EXPECT_EQ(e.real_size, text.size());
  EXPECT_LT(e.stored_size, 2000u);
  EXPECT_TRUE(all_checksums_correct(u.bin));
  r = run_tool({u.bin, "extract", "plain.txt"}, real_codec_dir());
  EXPECT_EQ(r.output, "Extracting plain.txt ...\n");
  EXPECT_EQ(read_file(u.dir / "nk/plain.txt"), bytes_of(text));
}

}  // namespace
