// Addressed reads and writes through the BIN file's records.
#include <gtest/gtest.h>

#include "opened_image.h"

using namespace testkit;
using xipsaw::Image;

namespace {

Record raw(uint32_t address, const Bytes& data) { return Record{address, data, std::nullopt, std::nullopt, 0}; }

Bytes iota(size_t n, uint8_t start = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
  return b;
}

TEST(RecordStream, HeaderAndLocateBoundaries) {
  BinBuilder bin;
  bin.add_raw_record(raw(0x1000, iota(16)));
  OpenedImage img(bin);
  EXPECT_EQ(img.image.store->first_address(), 0x80000000u);
  EXPECT_EQ(xipsaw::locate_address(img.image, 0x1000), 16u);
  EXPECT_EQ(img.image.cursor.header_position, 15);
  EXPECT_EQ(xipsaw::locate_address(img.image, 0x100F), 1u);
  EXPECT_EQ(xipsaw::locate_address(img.image, 0x1010), 0u);
  EXPECT_EQ(img.image.cursor.address, 0u);
  EXPECT_EQ(xipsaw::locate_address(img.image, 0), 0u);
  EXPECT_EQ(xipsaw::locate_address(img.image, 0xFFF), 0u);
}

TEST(RecordStream, RejectsOtherSignatures) {
  for (std::string signature : {"B000FE\n", "b000ff\n", "B000FF"}) {
    BinBuilder bin;
    bin.signature = signature;
    bin.end_record = false;
    bin.truncate_to = signature.size();
    TempDir dir;
    bin.write(dir / "x.bin");
    xipsaw::BinStream stream;
    Image image{stream};
    ASSERT_TRUE(stream.open(dir / "x.bin"));
    EXPECT_EQ(xipsaw::read_bin_header(image), 0) << signature;
  }
}

TEST(RecordStream, FirstRecordInTheFileWinsWhereRecordsOverlap) {
  BinBuilder bin;
  bin.add_raw_record(raw(0x2000, Bytes(16, 'A')));
  bin.add_raw_record(raw(0x1FF0, Bytes(48, 'B')));  // covers the first one and more
  bin.add_raw_record(raw(0x2008, Bytes(4, 'C')));   // wholly shadowed
  OpenedImage img(bin);
  EXPECT_EQ(img.read(0x2005, 1), Bytes{'A'});
  EXPECT_EQ(img.read(0x200A, 1), Bytes{'A'});
  EXPECT_EQ(img.read(0x1FF0, 1), Bytes{'B'});
  EXPECT_EQ(img.read(0x2010, 1), Bytes{'B'});
  // A read that starts in the later record stays in it: the cursor only
  // moves to another record at the end of the current one.
  EXPECT_EQ(img.read(0x1FFE, 4), (Bytes{'B', 'B', 'B', 'B'}));
  EXPECT_EQ(xipsaw::locate_address(img.image, 0x2000), 16u);
}

TEST(RecordStream, ReadsJoinRecordsInAddressOrderAndStopAtGaps) {
  BinBuilder bin;
  bin.add_raw_record(raw(0x1004, iota(6, 5)));  // later addresses first in the file
  bin.add_raw_record(raw(0x1000, iota(4, 1)));
  bin.add_raw_record(raw(0x1020, iota(4, 0x20)));
  OpenedImage img(bin);
  uint32_t got = 0;
  EXPECT_EQ(img.read(0x1000, 10, &got), iota(10, 1));
  EXPECT_EQ(got, 10u);
  // The address just past the run is in no record: the cursor ends clear.
  EXPECT_EQ(img.image.cursor.address, 0u);

  // Reading exactly what is left ends the record; the next read moves on.
  xipsaw::locate_address(img.image, 0x1000);
  Bytes four(4), two(2);
  EXPECT_EQ(xipsaw::read_image(img.image, four.data(), 4), 4u);
  EXPECT_EQ(img.image.cursor.remaining, 0u);
  EXPECT_EQ(xipsaw::read_image(img.image, two.data(), 2), 2u);
  EXPECT_EQ(two, (Bytes{5, 6}));

  // A gap ends the run: only the bytes before it come back.
  Bytes out = img.read(0x1008, 8, &got);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 2), (Bytes{9, 10}));
  EXPECT_EQ(out[2], 0xEE);
  // With the cursor clear, nothing is transferred.
  EXPECT_EQ(xipsaw::read_image(img.image, out.data(), 1), 0u);
  EXPECT_EQ(xipsaw::write_image(img.image, out.data(), 1), 0u);
  EXPECT_EQ(xipsaw::measure_image(img.image, 0x1002, 100), 8u);
  EXPECT_EQ(xipsaw::measure_image(img.image, 0x1010, 1), 0u);
}

TEST(RecordStream, WritesKeepEveryTouchedChecksumRight) {
  BinBuilder bin;
  bin.add_raw_record(raw(0x1000, Bytes(8, 0)));
  bin.add_raw_record(raw(0x1008, Bytes(8, 0)));
  bin.add_raw_record(raw(0x3000, Bytes(3, 0)));
  OpenedImage img(bin);
  // 4 bytes at the end of the first record and 6 at the start of the second.
  xipsaw::locate_address(img.image, 0x1004);
  Bytes data = iota(10, 0xF0);
  EXPECT_EQ(xipsaw::write_image(img.image, data.data(), 10), 10u);
  EXPECT_EQ(img.read(0x1004, 10), data);

  xipsaw::locate_address(img.image, 0x3000);
  Bytes small{0xFF, 0xFF, 0x01};
  EXPECT_EQ(xipsaw::write_image(img.image, small.data(), 3), 3u);

  Bytes file = img.file();
  EXPECT_TRUE(all_checksums_correct(img.path));
  EXPECT_EQ(get_u32(file, 15), 0x1000u);
  EXPECT_EQ(get_u32(file, 19), 8u);
  EXPECT_EQ(get_u32(file, 15 + 20), 0x1008u);
  EXPECT_EQ(get_u32(file, 15 + 40 + 8), 0x1FFu);
}

TEST(RecordStream, RecordsCutShortByTheEndOfTheFile) {
  BinBuilder bin;
  bin.add_raw_record(raw(0x1000, iota(8)));
  bin.add_raw_record(raw(0x1008, iota(8, 0x40)));
  bin.end_record = false;
  bin.truncate_to = 15 + 20 + 12 + 5;  // the second record keeps 5 of its 8 bytes
  OpenedImage img(bin);
  uint32_t got = 0;
  img.read(0x1000, 16, &got);
  EXPECT_EQ(got, 13u);
  EXPECT_EQ(xipsaw::measure_image(img.image, 0x1000, 16), 13u);
  EXPECT_EQ(xipsaw::locate_address(img.image, 0x2000), 0u);  // no end record: the walk ends at the file's end

  // Written data in the short record leaves its checksum as it was: the
  // data cannot be summed in full.
  Bytes before = read_file(img.path);
  xipsaw::locate_address(img.image, 0x1009);
  Bytes two{1, 1};
  EXPECT_EQ(xipsaw::write_image(img.image, two.data(), 2), 2u);
  Bytes after = img.file();
  EXPECT_EQ(get_u32(after, 15 + 20 + 8), get_u32(before, 15 + 20 + 8));
}

TEST(RecordStream, ImagesBeyondTwoGibibytes) {
  BinBuilder bin;
  Record big = raw(0x10000000, Bytes(4, 7));
  big.hole = 0xA0000000ull;  // 2.5 GiB of zeros, left sparse
  bin.add_raw_record(big);
  bin.add_raw_record(raw(0x01000000, iota(8)));
  TempDir dir;
  std::string path = dir / "big.bin";
  bin.write(path);
  xipsaw::BinStream stream;
  Image image{stream};
  ASSERT_TRUE(stream.open(path));
  ASSERT_EQ(xipsaw::read_bin_header(image), 1);
  ASSERT_EQ(xipsaw::locate_address(image, 0x01000002), 6u);
  EXPECT_GT(image.cursor.header_position, int64_t{1} << 31);
  Bytes got(6);
  EXPECT_EQ(xipsaw::read_image(image, got.data(), 6), 6u);
  EXPECT_EQ(got, iota(6, 3));
  xipsaw::locate_address(image, 0x01000000);
  Bytes patch{0x80, 0x80};
  EXPECT_EQ(xipsaw::write_image(image, patch.data(), 2), 2u);
  stream.flush();
  // The last record's checksum is now the sum of its new data.
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  uint8_t header[12];
  fseeko(f, image.cursor.header_position, SEEK_SET);
  ASSERT_EQ(std::fread(header, 1, 12, f), 12u);
  std::fclose(f);
  Bytes h(header, header + 12);
  EXPECT_EQ(get_u32(h, 8), 0x80u + 0x80u + 3 + 4 + 5 + 6 + 7 + 8);
}

}  // namespace
