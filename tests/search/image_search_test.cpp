// Images in files that are no BIN files: raw images and flash dumps, found
// by the ECEC word and a ROM header whose tables fit, and BIN containers at
// any offset; the near misses that real loaders' code holds; several images
// in one file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "opened_image.h"
#include "search/image_search.h"
#include "search/raw_images.h"

using namespace testkit;

namespace {

// A small board image at image_start: a loader with one code section, a
// plain file, a compressed one (the fake codec's "C" format) and one named
// after the image.
RomBuilder board(uint32_t image_start, const std::string& own) {
  RomBuilder rom;
  rom.image_start = image_start;
  rom.rom_header_address = image_start + 0x400;
  rom.cpu_type = 0x01C2;
  add_loader(rom, image_start, Bytes(0x30, 0xE5));
  rom.add_file("boot.cfg", bytes_of("speed=400"), 0x1);
  rom.add_file("logo.bmp", bytes_of("CBMBMBMBM"), 0x800).real_size = 8;
  rom.add_file(own, bytes_of(own));
  return rom;
}

// The BIN file of a layout, its records in one run from image_start on (as
// a raw image holds the same bytes).
Bytes one_record_bin(RomBuilder& rom) {
  BinBuilder bin;
  bin.image_start = rom.image_start;
  bin.put(rom.image_start, raw_image(rom));
  return bin.build();
}

Bytes joined(std::initializer_list<std::pair<size_t, Bytes>> parts, size_t size, uint8_t fill = 0xFF) {
  Bytes file(size, fill);
  for (const auto& [offset, bytes] : parts) std::copy(bytes.begin(), bytes.end(), file.begin() + offset);
  return file;
}

std::string run(const std::vector<std::string>& args) { return run_tool(args, fake_codec_dir()).output; }

TEST(RawImage, ListsExtractsAndUpdatesAsItsBinFile) {
  TempDir dir;
  RomBuilder rom = board(0x87E00000, "own.txt");
  const Bytes raw = raw_image(rom);
  write_file(dir / "nk.bin", rom.layout().build());
  const std::string listing = run({dir / "nk.bin", "list"});
  run({dir / "nk.bin", "extract"});
  for (size_t offset : {size_t{0}, size_t{0x1234}}) {
    SCOPED_TRACE(offset);
    write_file(dir / "raw.nb0", joined({{offset, raw}}, offset + raw.size()));
    EXPECT_EQ(run({dir / "raw.nb0", "list"}), listing);
    EXPECT_EQ(run({dir / "raw.nb0", "extract"}),
              "Extracting nk.exe ...\nExtracting boot.cfg ...\nExtracting logo.bmp ...\nExtracting own.txt ...\n");
    for (const char* name : {"nk.exe", "boot.cfg", "logo.bmp", "own.txt"})
      EXPECT_EQ(read_file(dir / "raw/" + std::string(name)), read_file(dir / "nk/" + std::string(name))) << name;

    // An update writes in place: the data, then the entry, nothing else.
    write_file(dir / "new.cfg", bytes_of("fast"));
    EXPECT_EQ(run({dir / "raw.nb0", "update", "boot.cfg", dir / "new.cfg"}), "Updating boot.cfg ...\n");
    Bytes expected = joined({{offset, raw}}, offset + raw.size());
    const size_t data = offset + rom.files[0].load_offset - rom.image_start;
    std::copy_n(bytes_of("fast").begin(), 4, expected.begin() + data);
    const size_t entry = offset + rom.file_entry_address(0) - rom.image_start;
    put_u32(expected, entry + 12, 4);
    put_u32(expected, entry + 16, 4);
    EXPECT_EQ(read_file(dir / "raw.nb0"), expected);
    EXPECT_FALSE(file_exists(dir / "raw.nb0-journal"));
    EXPECT_EQ(run({dir / "raw.nb0", "update", "absent.txt"}), "Unable to find absent.txt on BIN\n");
  }
}

// A ROM header at r that would serve the ECEC word at o but for one thing.
struct NearMiss {
  const char* what;
  size_t o, r;
  uint32_t physfirst, physlast_less, modules, files;
  size_t size;
};

TEST(RawImage, NearMissesAreNoImages) {
  const NearMiss misses[] = {
      {"header before the word (physfirst > pointer)", 0x800, 0x100, 0x1000, 0, 0, 0, 0x1000},
      {"tables end past physlast", 0x100, 0x800, 0x80000000, 1, 2, 1, 0x1000},
      {"tables end past the file", 0x100, 0x800, 0x80000000, 0, 40, 0, 0x800 + 84 + 40 * 32 - 1},
      {"pointer cut by the end of the file", 0x100, 0x800, 0x80000000, 0, 0, 0, 0x100 + 0x46},
  };
  TempDir dir;
  for (const NearMiss& m : misses) {
    Bytes file(m.size, 0);
    std::copy_n("ECEC", 4, file.begin() + m.o + 0x40);
    if (m.o + 0x48 <= m.size) put_u32(file, m.o + 0x44, static_cast<uint32_t>(m.r - m.o + m.physfirst));
    if (m.r + 84 <= m.size) {
      const uint64_t tables = 84 + 32 * m.modules + 28 * m.files;
      const uint32_t pointer = static_cast<uint32_t>(m.r - m.o + m.physfirst);
      put_u32(file, m.r + 8, m.physfirst);
      put_u32(file, m.r + 12, static_cast<uint32_t>(pointer + tables - m.physlast_less));
      put_u32(file, m.r + 16, m.modules);
      put_u32(file, m.r + 48, m.files);
    }
    file.resize(m.size);
    write_file(dir / "miss.nb0", file);
    EXPECT_EQ(run({dir / "miss.nb0", "list"}), "Invalid XIP file\n") << m.what;
  }

  // Containers that do not count: a chain cut by the end of the file, a
  // chain without records, and a whole chain whose image does not open.
  RomBuilder rom = board(0x80000000, "own.txt");
  Bytes broken = rom.layout().build();
  broken.resize(broken.size() - 1);
  Bytes empty = bytes_of("B000FF\n");
  empty.resize(15 + 12, 0);
  rom.ecec = "ECEX";
  const Bytes closed = one_record_bin(rom);
  for (const Bytes& bad : {broken, empty, closed}) {
    write_file(dir / "bad.nb0", joined({{0x10, bad}}, 0x10 + bad.size()));
    EXPECT_EQ(run({dir / "bad.nb0", "list"}), "Invalid XIP file\n");
  }

  // With the near misses in front, the one image is found, and read as a
  // BIN file would be: no offset line.
  RomBuilder real = board(0x80000000, "own.txt");
  const Bytes raw = raw_image(real);
  write_file(dir / "real.bin", real.layout().build());
  write_file(dir / "all.nb0", joined({{0x10, broken}, {0x4000, closed}, {0x8000, raw}}, 0x8000 + raw.size()));
  EXPECT_EQ(run({dir / "all.nb0", "list"}), run({dir / "real.bin", "list"}));
}

TEST(Dump, ThreeImagesEachUnderItsOffset) {
  TempDir dir;
  RomBuilder loader = board(0x80000000, "first.txt"), eboot = board(0x80200000, "second.txt"),
             os = board(0x88000000, "third.txt");
  os.files.erase(os.files.begin());  // no boot.cfg in the OS image
  const Bytes vendor(0x200, 0x5A);
  Bytes container = vendor;
  const Bytes bin = one_record_bin(os);  // its raw-looking bytes are the container's image
  container.insert(container.end(), bin.begin(), bin.end());
  write_file(dir / "dump.nb0",
             joined({{0, raw_image(loader)}, {0x10000, raw_image(eboot)}, {0x20000, container}}, 0x30000));

  const std::string listed = run({dir / "dump.nb0", "list"});
  EXPECT_EQ(listed.substr(0, 27), "Image at offset 0x00000000\n");
  EXPECT_NE(listed.find("\nImage at offset 0x00010000\n"), std::string::npos) << listed;
  EXPECT_NE(listed.find("\nImage at offset 0x00020200\n"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("Image at offset", listed.find("0x00020200")), std::string::npos) << listed;

  EXPECT_EQ(run({dir / "dump.nb0", "extract", "nk.exe"}),
            "Image at offset 0x00000000\nExtracting nk.exe ...\nImage at offset 0x00010000\nExtracting nk.exe ...\n"
            "Image at offset 0x00020200\nExtracting nk.exe ...\n");
  for (const char* sub : {"0x00000000", "0x00010000", "0x00020200"})
    EXPECT_EQ(read_file(dir / "dump/" + std::string(sub) + "/nk.exe").size(), 0x400u) << sub;

  // Each image that holds the name is updated, each on its own; a name that
  // none holds is reported once, at the end.
  write_file(dir / "new.cfg", bytes_of("fast"));
  EXPECT_EQ(run({dir / "dump.nb0", "update", "boot.cfg", dir / "new.cfg"}),
            "Image at offset 0x00000000\nUpdating boot.cfg ...\nImage at offset 0x00010000\nUpdating boot.cfg ...\n"
            "Image at offset 0x00020200\n");
  run({dir / "dump.nb0", "extract", "boot.cfg"});
  EXPECT_EQ(read_file(dir / "dump/0x00000000/boot.cfg"), bytes_of("fast"));
  EXPECT_EQ(read_file(dir / "dump/0x00010000/boot.cfg"), bytes_of("fast"));
  EXPECT_EQ(run({dir / "dump.nb0", "update", "absent.txt"}),
            "Image at offset 0x00000000\nImage at offset 0x00010000\nImage at offset 0x00020200\n"
            "Unable to find absent.txt on BIN\n");
  EXPECT_EQ(run({dir / "dump.nb0", "update", "third.txt", dir / "new.cfg"}),
            "Image at offset 0x00000000\nImage at offset 0x00010000\nImage at offset 0x00020200\n"
            "Updating third.txt ...\n");
}

TEST(Dump, ImagesBeyond4GiBOpenAndTheirOffsetsArePrintedInFull) {
  // A sparse file whose image lies 4 GiB and 4 KiB in (the search itself
  // is the same loop at any offset, and is left out: it would read 4 GiB).
  TempDir dir;
  RomBuilder os = board(0x88000000, "far.txt");
  const Bytes image = raw_image(os);
  std::FILE* f = std::fopen((dir / "big.nb0").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseeko(f, 0x100001000ll, SEEK_SET), 0);
  std::fwrite(image.data(), 1, image.size(), f);
  std::fclose(f);
  xipsaw::BinStream stream;
  ASSERT_TRUE(stream.open(dir / "big.nb0"));
  xipsaw::Image opened(stream);
  ASSERT_TRUE(xipsaw::open_found_image(opened, {xipsaw::ImageKind::raw, 0x100001000ll, 0x88000000}));
  ASSERT_EQ(xipsaw::load_file_table(opened), 1);
  xipsaw::FileEntry entry;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(xipsaw::next_file_entry(opened, entry));
  ASSERT_TRUE(xipsaw::read_image_string(opened, entry.name_address, entry.name));
  EXPECT_EQ(entry.name, "far.txt");
  EXPECT_EQ(xipsaw::offset_name(0x100001000ll), "0x100001000");
  EXPECT_EQ(xipsaw::offset_name(0x20000), "0x00020000");
}

// ---- The search against the rule, worked out byte by byte -----------------

std::vector<xipsaw::FoundImage> by_the_rule(const Bytes& f) {
  std::vector<xipsaw::FoundImage> found;
  for (size_t o = 0; o + 0x48 <= f.size(); ++o) {
    if (std::memcmp(&f[o + 0x40], "ECEC", 4) != 0) continue;
    const uint64_t pointer = get_u32(f, o + 0x44);
    for (size_t r = o; r + 84 <= f.size(); ++r) {
      const uint64_t physfirst = get_u32(f, r + 8), physlast = get_u32(f, r + 12);
      const uint64_t end = pointer + 84 + 32 * uint64_t{get_u32(f, r + 16)} + 28 * uint64_t{get_u32(f, r + 48)};
      if (o + pointer == r + physfirst && physfirst <= pointer && end <= physlast && o + (end - physfirst) <= f.size()) {
        found.push_back({xipsaw::ImageKind::raw, static_cast<int64_t>(o), static_cast<uint32_t>(physfirst)});
        break;
      }
    }
  }
  return found;
}

TEST(Dump, ContainersBackToBackAreEachAnImage) {
  TempDir dir;
  RomBuilder os = board(0x88000000, "third.txt");
  const Bytes bin = one_record_bin(os);
  write_file(dir / "dump.nb0", joined({{0x200, bin}, {0x200 + bin.size(), bin}}, 0x200 + 2 * bin.size()));
  const std::string second = "\nImage at offset " + xipsaw::offset_name(static_cast<int64_t>(0x200 + bin.size())) + "\n";
  const std::string listed = run({dir / "dump.nb0", "list"});
  EXPECT_EQ(listed.rfind("Image at offset 0x00000200\n", 0), 0u) << listed;
  EXPECT_NE(listed.find(second), std::string::npos) << listed;
}

// Candidates of many keys wait in one table: keys whose slots collide, and
// the removal of each once its header resolves it, in an order of its own.
TEST(ImageSearch, PendingCandidatesOfCollidingKeysAreEachResolvedOnce) {
  std::mt19937 rng(5);
  xipsaw::PendingCandidates pending(1 << 16);
  std::vector<uint64_t> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(rng() % 6000);
  for (size_t i = 0; i < keys.size(); ++i) pending.add(static_cast<int64_t>(i), keys[i]);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  std::vector<int> reported(3000, 0);
  for (uint64_t key : keys)
    pending.resolve(xipsaw::HeaderKey{0, key, 0}, [&](int64_t offset) { reported[static_cast<size_t>(offset)]++; });
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(std::count(reported.begin(), reported.end(), 1), 3000);
}

TEST(ImageSearch, FindsWhatTheRuleFindsWhateverItMayHold) {
  std::mt19937 rng(17);
  for (int round = 0; round < 60; ++round) {
    // Headers and words that share a few keys, so that words wait for
    // headers, several for one, and headers serve some and not others.
    Bytes f(2048 + rng() % 2048);
    for (uint8_t& b : f) b = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 0);
    const int headers = 1 + static_cast<int>(rng() % 12);
    for (int h = 0; h < headers; ++h) {
      const size_t r = rng() % (f.size() - 84);
      const uint32_t physfirst = rng() % 4 == 0 ? 0x80000000u : 0x1000u * (rng() % 4);
      put_u32(f, r + 8, physfirst);
      put_u32(f, r + 12, physfirst + 84 + static_cast<uint32_t>(rng() % 0x3000));
      put_u32(f, r + 16, rng() % 3);
      put_u32(f, r + 48, rng() % 3);
      for (int w = static_cast<int>(rng() % 4); w > 0; --w) {
        const size_t o = rng() % (r + 1);
        if (o + 0x48 > f.size()) continue;
        std::copy_n("ECEC", 4, f.begin() + o + 0x40);
        put_u32(f, o + 0x44, static_cast<uint32_t>(r - o) + physfirst + (rng() % 5 == 0 ? 1 : 0));
      }
    }
    f.resize(f.size());
    TempDir dir;
    write_file(dir / "f.nb0", f);
    xipsaw::BinStream stream;
    ASSERT_TRUE(stream.open(dir / "f.nb0"));
    const auto expected = by_the_rule(f);
    for (const xipsaw::SearchLimits& limits :
         {xipsaw::SearchLimits{}, xipsaw::SearchLimits{1, 1000, 1000}, xipsaw::SearchLimits{2, 1, 1000}}) {
      const xipsaw::ImageSearch search = xipsaw::find_images(stream, limits);
      ASSERT_EQ(search.images.size(), expected.size()) << round;
      for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(search.images[i].offset, expected[i].offset) << round;
        EXPECT_EQ(search.images[i].physfirst, expected[i].physfirst) << round;
      }
    }
  }
}

}  // namespace
