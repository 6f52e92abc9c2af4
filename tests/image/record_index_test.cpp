// The map of records against the plain walk over the BIN file's records, on
// random layouts: overlapping records (the first in the file wins), records
// that run across 2^32 on to address 0 or are empty, end records in the middle, files cut
// short; with the index whole, cut to a few records, and held to a few bytes.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "opened_image.h"

using namespace testkit;

namespace {

struct Found {
  uint32_t address;
  uint32_t end;
  int64_t header_position;
};

// The first record in file order that covers target, walking the headers
// from the first to the end record or the end of the file.
std::optional<Found> plain_walk(const Bytes& file, uint32_t target) {
  for (uint64_t at = 15; target != 0 && at + 12 <= file.size();) {
    const uint32_t address = get_u32(file, at);
    const uint32_t length = get_u32(file, at + 4);
    if (address == 0 && get_u32(file, at + 8) == 0) break;  // the end record
    if (target - address < length) return Found{address, address + length, int64_t(at)};
    at += 12 + uint64_t{length};
  }
  return std::nullopt;
}

// The record stream's reads worked out on the file's bytes: a read stays in
// the located record up to its end and then goes on in the record that the
// walk finds for the next address; it stops at an address in no record and
// where the file ends.
struct PlainReader {
  const Bytes& file;
  xipsaw::RecordCursor cursor;
  int64_t position = 0;

  uint32_t locate(uint32_t target) {
    std::optional<Found> r = plain_walk(file, target);
    if (!r) {
      cursor = {};
      return 0;
    }
    // A read does not go on to address 0, which is never located.
    cursor = {target, std::min(r->end - target, 0u - target), r->header_position};
    position = r->header_position + 12 + (target - r->address);
    return cursor.remaining;
  }
  // Copies up to n bytes from the file at position; returns how many.
  uint32_t take(uint8_t* out, uint32_t n) {
    const uint64_t present = position < int64_t(file.size()) ? file.size() - uint64_t(position) : 0;
    const uint32_t got = uint32_t(std::min<uint64_t>(n, present));
    std::copy_n(file.begin() + position, got, out);
    position += got;
    return got;
  }
  uint32_t read(uint8_t* out, uint32_t count) {
    if (cursor.address == 0) return 0;
    if (cursor.remaining >= count) {
      cursor.address += count;
      cursor.remaining -= count;
      return take(out, count);
    }
    uint32_t total = 0;
    for (;;) {
      if (cursor.remaining != 0) {
        const uint32_t chunk = std::min(cursor.remaining, count - total);
        const uint32_t got = take(out + total, chunk);
        if (got < chunk) {
          cursor = {};
          return total + got;
        }
        cursor.address += chunk;
        total += chunk;
      }
      if (locate(cursor.address) == 0 || total == count) return total;
    }
  }
};

// Up to 30 records of up to 24 bytes at addresses 0x1000 to 0x103F, so that
// most of them overlap, with some near the top of the address space (empty,
// wrapping, or ending at 2^32), some at address 0 (data, or with checksum 0
// an end record in the middle), and files without an end record or cut
// short anywhere.
Bytes random_layout(std::mt19937& rng, BinBuilder& bin) {
  const int count = int(rng() % 30);
  for (int i = 0; i < count; ++i) {
    Record r;
    r.address = rng() % 10 == 0 ? 0xFFFFFFE8u + rng() % 24 : 0x1000 + rng() % 64;
    if (rng() % 20 == 0) r.address = 0;  // data from address 0, or an end record before the last
    if (r.address == 0 && rng() % 2 == 0) r.checksum = 0;
    r.data.resize(rng() % 24);
    for (uint8_t& b : r.data) b = uint8_t(rng() % 4 == 0 ? 0 : rng());
    bin.add_raw_record(r);
  }
  bin.end_record = rng() % 4 != 0;
  Bytes whole = bin.build();
  if (rng() % 4 == 0) bin.truncate_to = 15 + rng() % (whole.size() - 14);
  return bin.build();
}

std::vector<uint32_t> targets() {
  std::vector<uint32_t> t{0, 1, 0x7FFFFFFF};
  for (uint32_t a = 0xFF8; a < 0x1060; ++a) t.push_back(a);
  for (uint32_t a = 0xFFFFFFE0u; a != 0; ++a) t.push_back(a);
  return t;
}

// The three indexes a test looks through: whole, cut to a few records (the
// rest is walked), and held to a few bytes (fewer records are taken).
struct IndexLimits {
  uint32_t records;
  size_t bytes;
};

std::vector<IndexLimits> limits(std::mt19937& rng) {
  return {{xipsaw::RecordIndex::kMaxRecords, xipsaw::RecordIndex::kMaxBytes},
          {1 + uint32_t(rng() % 4), xipsaw::RecordIndex::kMaxBytes},
          {xipsaw::RecordIndex::kMaxRecords, 20 * (1 + rng() % 6)}};
}

TEST(RecordIndex, LookupsAndReadsMatchThePlainWalkOnRandomLayouts) {
  std::mt19937 rng(12);
  for (int layout = 0; layout < 200; ++layout) {
    BinBuilder bin;
    const Bytes file = random_layout(rng, bin);
    OpenedImage img(bin);
    xipsaw::Image& image = img.image;
    for (const IndexLimits& limit : limits(rng)) {
      xipsaw::RecordIndex& records = static_cast<xipsaw::RecordIndex&>(*image.store);
      records.build(img.stream, xipsaw::kBinHeaderSize, limit.records, limit.bytes);
      EXPECT_LE(records.memory(), limit.bytes);
      PlainReader plain{file, {}, 0};
      for (uint32_t target : targets()) {
        SCOPED_TRACE(::testing::Message() << "layout " << layout << " limit " << limit.records << "/" << limit.bytes
                                          << " target " << std::hex << target);
        ASSERT_EQ(xipsaw::locate_address(image, target), plain.locate(target));
        ASSERT_EQ(image.cursor.header_position, plain.cursor.header_position);
        // Measuring looks records up without moving the stream.
        xipsaw::measure_image(image, target + rng() % 32, rng() % 64);
        // Two reads in a row: the second goes on from where the first left
        // the cursor.
        for (int read = 0; read < 2; ++read) {
          const uint32_t count = rng() % 40;
          Bytes got(count, 0xEE), expected(count, 0xEE);
          ASSERT_EQ(xipsaw::read_image(image, got.data(), count), plain.read(expected.data(), count));
          ASSERT_EQ(got, expected);
          ASSERT_EQ(image.cursor.address, plain.cursor.address);
          ASSERT_EQ(image.cursor.remaining, plain.cursor.remaining);
        }
      }
      EXPECT_EQ(xipsaw::measure_image(image, 0x1000, 64), [&] {
        Bytes sink(64);
        plain.locate(0x1000);
        return plain.read(sink.data(), 64);
      }());
    }
  }
}

// Names read in blocks come out as a byte-at-a-time read through the record
// stream gives them, on the same random layouts.
TEST(RecordIndex, NamesReadInBlocksMatchNamesReadByteByByte) {
  std::mt19937 rng(1023);
  for (int layout = 0; layout < 200; ++layout) {
    BinBuilder bin;
    random_layout(rng, bin);
    OpenedImage img(bin);
    for (uint32_t target : targets()) {
      std::string expected;
      bool located = xipsaw::locate_address(img.image, target) != 0;
      for (char c = 0; located && expected.size() < xipsaw::kMaxNameLength;) {
        if (xipsaw::read_image(img.image, &c, 1) != 1 || c == '\0') break;
        expected.push_back(c);
      }
      std::string name = "unchanged";
      ASSERT_EQ(xipsaw::read_image_string(img.image, target, name), located) << layout << " " << target;
      EXPECT_EQ(name, located ? expected : "unchanged") << layout << " " << target;
    }
  }
}

TEST(RecordIndex, RecordsPastTheLimitsAreStillFoundInFileOrder) {
  // 2000 records of 4 bytes, each overlapping the next by 2, then one that
  // covers them all; cut to 100 records the index walks the rest.
  BinBuilder bin;
  for (uint32_t i = 0; i < 2000; ++i)
    bin.add_raw_record({0x10000 + 2 * i, Bytes{uint8_t(i), uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 8)}, {}, {}, 0});
  bin.add_raw_record({0x8000, Bytes(0x10000, 0xAB), {}, {}, 0});
  const Bytes file = bin.build();
  for (const IndexLimits& limit : {IndexLimits{100, xipsaw::RecordIndex::kMaxBytes}, IndexLimits{4000, 4096}}) {
    OpenedImage img(bin);
    xipsaw::Image& image = img.image;
    xipsaw::RecordIndex& records = static_cast<xipsaw::RecordIndex&>(*image.store);
    records.build(img.stream, xipsaw::kBinHeaderSize, limit.records, limit.bytes);
    EXPECT_FALSE(records.complete());
    EXPECT_LE(records.memory(), limit.bytes);
    for (uint32_t target : {0x8000u, 0x10000u, 0x10001u, 0x100C8u, 0x10F9Fu, 0x10FA0u, 0x10FA3u, 0x17FFFu, 0x18000u}) {
      std::optional<Found> r = plain_walk(file, target);
      ASSERT_EQ(xipsaw::locate_address(image, target), r ? r->end - target : 0u) << std::hex << target;
      if (r) {
        EXPECT_EQ(image.cursor.header_position, r->header_position);
      }
    }
  }
}

}  // namespace
