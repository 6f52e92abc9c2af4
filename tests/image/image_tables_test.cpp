// The "ECEC" chain, the tables of contents, names and the rewrite of a file
// entry.
#include <gtest/gtest.h>

#include <random>

#include "opened_image.h"

using namespace testkit;
using xipsaw::Image;

namespace {

// Every entry a walk of the loaded table takes.
std::vector<xipsaw::ModuleEntry> all_modules(Image& image) {
  std::vector<xipsaw::ModuleEntry> entries;
  xipsaw::ModuleEntry entry;
  while (xipsaw::next_module_entry(image, entry)) entries.push_back(entry);
  return entries;
}

std::vector<xipsaw::FileEntry> all_files(Image& image) {
  std::vector<xipsaw::FileEntry> entries;
  xipsaw::FileEntry entry;
  while (xipsaw::next_file_entry(image, entry)) entries.push_back(entry);
  return entries;
}

RomBuilder three_modules_two_files() {
  RomBuilder rom;
  for (const char* name : {"a.dll", "b.dll", "c.exe"}) rom.add_module(name).size = 100;
  rom.add_file("one.txt", bytes_of("first"));
  rom.add_file("two.txt", bytes_of("second"));
  rom.add_file("three.txt", bytes_of("third")).file_time = 0x0123456789ABCDEFull;
  return rom;
}

TEST(ImageTables, SignatureAndRomHeaderChecks) {
  {
    RomBuilder rom;
    rom.ecec = "ecec";
    BinBuilder bin = rom.layout();
    OpenedImage img(bin);
    EXPECT_EQ(xipsaw::read_ecec_header(img.image), 0);
  }
  {
    RomBuilder rom;
    BinBuilder bin = rom.layout();
    bin.image_start = 0x70000000;  // the signature's address is then in no record
    OpenedImage img(bin);
    EXPECT_EQ(xipsaw::read_ecec_header(img.image), 0);
  }
  {
    RomBuilder rom;
    rom.rom_header_address = 0x90000000;
    BinBuilder bin;
    bin.put(rom.image_start + 0x40, bytes_of("ECEC"));
    bin.put_u32(rom.image_start + 0x44, rom.rom_header_address);
    OpenedImage img(bin);
    EXPECT_EQ(xipsaw::read_ecec_header(img.image), 1);
    EXPECT_EQ(img.image.rom_header_address, 0x90000000u);
    EXPECT_EQ(xipsaw::read_rom_header(img.image), 0);
  }
}

TEST(ImageTables, TablesFollowTheRomHeaderAndCrossRecords) {
  RomBuilder rom = three_modules_two_files();
  BinBuilder bin = rom.layout();
  // Cut the module table in the middle of entry 1 and the file table in the
  // middle of entry 2.
  bin.split_at(rom.module_table_address() + 32 + 13);
  bin.split_at(rom.file_entry_address(2) + 5);
  OpenedImage img(bin);
  ASSERT_TRUE(img.validate());
  EXPECT_EQ(rom.file_entry_address(2), rom.rom_header_address + 236);
  ASSERT_EQ(xipsaw::load_module_table(img.image), 1);
  const std::vector<xipsaw::ModuleEntry> modules = all_modules(img.image);
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(modules[1].name_address, rom.modules[1].name_address);
  EXPECT_EQ(modules[1].e32offset, rom.modules[1].e32offset);
  ASSERT_EQ(xipsaw::load_file_table(img.image), 1);
  const std::vector<xipsaw::FileEntry> files = all_files(img.image);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[2].load_offset, rom.files[2].load_offset);
  EXPECT_EQ(files[2].file_time_high, 0x01234567u);
  std::string name;
  ASSERT_TRUE(xipsaw::read_image_string(img.image, files[2].name_address, name));
  EXPECT_EQ(name, "three.txt");
}

TEST(ImageTables, EmptyTablesStillNeedALocatableAddress) {
  RomBuilder rom;
  BinBuilder bin = rom.layout();  // the ROM header's last byte ends the record
  OpenedImage img(bin);
  ASSERT_TRUE(img.validate());
  EXPECT_EQ(xipsaw::load_module_table(img.image), 0);
  EXPECT_EQ(xipsaw::load_file_table(img.image), 0);

  BinBuilder padded = rom.layout();
  padded.put(rom.rom_header_address + 84, Bytes(4, 0));
  OpenedImage img2(padded);
  ASSERT_TRUE(img2.validate());
  EXPECT_EQ(xipsaw::load_module_table(img2.image), 1);
  EXPECT_TRUE(all_modules(img2.image).empty());
}

TEST(ImageTables, HostileCountsCostOnlyWhatTheImageHolds) {
  RomBuilder rom = three_modules_two_files();
  rom.module_count = 3;
  rom.file_count = 0xFFFFFFFFu;
  BinBuilder bin = rom.layout();
  OpenedImage img(bin);
  ASSERT_TRUE(img.validate());
  ASSERT_EQ(xipsaw::load_file_table(img.image), 1);
  // The three real entries, then the first one the image does not hold,
  // zero-filled: a walk ends there.
  const std::vector<xipsaw::FileEntry> files = all_files(img.image);
  ASSERT_LE(files.size(), 4u + 1);
  EXPECT_EQ(files.back().name_address, 0u);
}

// Points the image's ROM header at a file table of count entries at table,
// with no modules.
void place_file_table(Image& image, uint32_t table, uint32_t count) {
  image.rom_header_address = table - xipsaw::kRomHeaderSize;
  image.rom_header.bytes = {};
  for (int i = 0; i < 4; ++i) image.rom_header.bytes[48 + i] = static_cast<uint8_t>(count >> (8 * i));
}

// The walk takes the entries in batches, with other reads (and writes) of
// the image between them; every entry must be what one continuous read of
// the whole table, before any write, gives. Random layouts: the table cut
// into records at random points, pieces left out, earlier records with other
// bytes over parts of it, files cut short, counts beyond what the image
// holds, entries whose name address is 0.
TEST(ImageTables, BatchedWalksTakeWhatOneContinuousReadGives) {
  std::mt19937 rng(28);
  const uint32_t table = 0x10000;
  for (int layout = 0; layout < 150; ++layout) {
    const uint32_t entries = rng() % 300;
    Bytes content(entries * 28 + 64);
    for (uint8_t& b : content) b = static_cast<uint8_t>(rng());
    if (entries != 0 && rng() % 3 == 0) put_u32(content, 28 * (rng() % entries) + 20, 0);
    BinBuilder bin;
    for (int shadows = rng() % 8; shadows > 0; --shadows) {
      Bytes other(1 + rng() % 1000, static_cast<uint8_t>(rng()));
      bin.add_raw_record({table + 1 + static_cast<uint32_t>(rng() % content.size()), other, {}, {}, 0});
    }
    for (uint32_t at = 0; at < content.size();) {
      const uint32_t n = std::min<uint32_t>(1 + rng() % 300, static_cast<uint32_t>(content.size()) - at);
      if (at == 0 || rng() % 8 != 0)
        bin.add_raw_record({table + at, Bytes(content.begin() + at, content.begin() + at + n), {}, {}, 0});
      at += n;
    }
    bin.end_record = rng() % 2 == 0;
    if (rng() % 3 == 0) bin.truncate_to = 15 + rng() % (bin.build().size() - 14);
    const uint32_t count = rng() % 4 == 0 ? 0xFFFFFFFFu : entries;

    OpenedImage once(bin);
    place_file_table(once.image, table, count);
    const bool located = xipsaw::locate_address(once.image, table) != 0;
    std::vector<Bytes> expected;
    for (uint32_t i = 0; located && i < count; ++i) {
      expected.emplace_back(28, 0);
      xipsaw::read_image(once.image, expected.back().data(), 28);
      if (get_u32(expected.back(), 20) == 0) break;
    }

    OpenedImage img(bin);
    place_file_table(img.image, table, count);
    ASSERT_EQ(xipsaw::load_file_table(img.image), located ? 1 : 0);
    xipsaw::FileEntry entry;
    size_t taken = 0;
    for (; xipsaw::next_file_entry(img.image, entry); ++taken) {
      ASSERT_LT(taken, expected.size()) << "layout " << layout;
      const xipsaw::FileEntry want = xipsaw::FileEntry::parse(expected[taken].data());
      ASSERT_EQ(entry.attributes, want.attributes) << "layout " << layout << " entry " << taken;
      ASSERT_EQ(entry.file_time_low, want.file_time_low);
      ASSERT_EQ(entry.file_time_high, want.file_time_high);
      ASSERT_EQ(entry.real_size, want.real_size);
      ASSERT_EQ(entry.stored_size, want.stored_size);
      ASSERT_EQ(entry.name_address, want.name_address);
      ASSERT_EQ(entry.load_offset, want.load_offset);
      // What the walk does between entries: read a name, or write data over
      // any part of the table, even the entries still to come.
      const uint32_t address = table + static_cast<uint32_t>(rng() % content.size());
      if (rng() % 2 == 0) {
        std::string name;
        xipsaw::read_image_string(img.image, address, name);
      } else if (rng() % 4 == 0 && xipsaw::locate_address(img.image, address) != 0) {
        Bytes zeros(1 + rng() % 400, 0);
        xipsaw::write_image(img.image, zeros.data(), static_cast<uint32_t>(zeros.size()));
      }
    }
    EXPECT_EQ(taken, expected.size()) << "layout " << layout;
  }
}

TEST(ImageTables, NamesAreCutAt1023BytesAndFollowTheImage) {
  BinBuilder bin;
  std::string exact(1023, 'x');
  bin.put_string(0x1000, exact);
  bin.put(0x1400, Bytes(1030, 'y'));  // no NUL within 1024 bytes
  bin.put_string(0x2000, "");
  bin.put_string(0x3000, "split-name.txt");
  bin.split_at(0x3005);
  bin.put(0x4000, bytes_of("gap"));  // runs into a gap
  bin.put(0x5000, bytes_of("end"));  // runs into the end of the file
  bin.split_at(0x5000);
  BinBuilder last = bin;
  last.end_record = false;
  OpenedImage img(last);
  std::string name;
  ASSERT_TRUE(xipsaw::read_image_string(img.image, 0x1000, name));
  EXPECT_EQ(name, exact);
  ASSERT_TRUE(xipsaw::read_image_string(img.image, 0x1400, name));
  EXPECT_EQ(name, std::string(1023, 'y'));
  ASSERT_TRUE(xipsaw::read_image_string(img.image, 0x2000, name));
  EXPECT_EQ(name, "");
  ASSERT_TRUE(xipsaw::read_image_string(img.image, 0x3000, name));
  EXPECT_EQ(name, "split-name.txt");
  ASSERT_TRUE(xipsaw::read_image_string(img.image, 0x4000, name));
  EXPECT_EQ(name, "gap");
  ASSERT_TRUE(xipsaw::read_image_string(img.image, 0x5000, name));
  EXPECT_EQ(name, "end");
  EXPECT_FALSE(xipsaw::read_image_string(img.image, 0x6000, name));
}

TEST(ImageTables, StoreFileEntryRewritesOnlyItsThreeFields) {
  RomBuilder rom = three_modules_two_files();
  BinBuilder laid = rom.layout();
  const uint32_t entry = rom.file_entry_address(2);
  // Inside one record, ending exactly at a record's end, and across two.
  for (uint32_t split : {0u, entry + 28, entry + 14}) {
    BinBuilder bin = laid;
    if (split) bin.split_at(split);
    OpenedImage img(bin);
    ASSERT_TRUE(img.validate());
    ASSERT_EQ(xipsaw::store_file_entry(img.image, stdout, 2, 1111, 222, 0x803), 1);
    img.stream.flush();
    uint32_t got = 0;
    const Bytes stored = OpenedImage(img.path).read(entry, 28, &got);
    ASSERT_EQ(got, 28u);
    EXPECT_EQ(get_u32(stored, 0), 0x803u);
    EXPECT_EQ(get_u32(stored, 4), 0x89ABCDEFu);
    EXPECT_EQ(get_u32(stored, 8), 0x01234567u);
    EXPECT_EQ(get_u32(stored, 12), 1111u);
    EXPECT_EQ(get_u32(stored, 16), 222u);
    EXPECT_EQ(get_u32(stored, 20), rom.files[2].name_address);
    EXPECT_EQ(get_u32(stored, 24), rom.files[2].load_offset);
    EXPECT_TRUE(all_checksums_correct(img.path)) << "split at " << split;
  }
}

}  // namespace
