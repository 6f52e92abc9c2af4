// convert: raw images laid out at their addresses, BIN files that hold every
// byte, round trips, several images, and an output that is never half
// written nor the file it is made from.
#include <gtest/gtest.h>

#include <filesystem>

#include "../modules/module_testing.h"
#include "convert/convert.h"

using namespace testkit;
using modtest::pattern;

namespace {

ToolResult tool(const std::vector<std::string>& args) { return run_tool(args, fake_codec_dir()); }

// A BIN file as records: its header's image start and length, each record's
// address and length in file order, and the end record's launch address.
struct Records {
  uint32_t start = 0, length = 0;
  std::vector<std::pair<uint32_t, uint32_t>> records;
  uint32_t launch = 0;
};

Records records_of(const std::string& path) {
  const Bytes b = read_file(path);
  Records r{get_u32(b, 7), get_u32(b, 11), {}, 0};
  for (size_t at = 15; at + 12 <= b.size(); at += 12 + get_u32(b, at + 4)) {
    if (get_u32(b, at) == 0 && get_u32(b, at + 8) == 0) {
      r.launch = get_u32(b, at + 4);
      EXPECT_EQ(at + 12, b.size()) << "the end record ends the file";
      return r;
    }
    r.records.push_back({get_u32(b, at), get_u32(b, at + 4)});
  }
  ADD_FAILURE() << path << " has no end record";
  return r;
}

// The image of a module and three files, with gaps between its records, whose
// ROM header puts its end at 0x80020000, past its last record.
RomBuilder gapped_rom() {
  RomBuilder rom;
  rom.cpu_type = 0x01C2;
  rom.physfirst = rom.image_start;
  rom.physlast = rom.image_start + 0x20000;
  modtest::add_marked(rom, "code.dll", 3);
  rom.add_file("boot.cfg", pattern(0x300, 1));
  rom.add_file("zeros.bin", Bytes(0x2000, 0));  // zeros inside a file are data
  rom.add_file("late.bin", pattern(0x300, 2)).load_offset = 0x80018000;  // in the BIN form's second record
  return rom;
}

TEST(Convert, RawLaysTheImageOutAndBinHoldsEveryByteInAddressOrder) {
  TempDir dir;
  const std::string bin = dir / "nk.bin";
  RomBuilder rom = gapped_rom();
  BinBuilder built = rom.layout();
  built.launch_address = 0x80001234;
  built.max_record_length = 0x100;
  built.write(bin);
  Bytes expected = built.raw_image();
  expected.resize(0x20000, 0);

  const ToolResult raw = tool({bin, "convert", "RAW", dir / "nk.nb0"});
  EXPECT_EQ(raw.output, "Writing " + dir / "nk.nb0" + " ...\n");
  EXPECT_EQ(raw.exit_code, 0);
  EXPECT_EQ(read_file(dir / "nk.nb0"), expected);
  // A window from an address as the image runs, cut or padded to a size.
  EXPECT_EQ(tool({bin, "convert", "raw", dir / "window.nb0", "0x80000800", "4096"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "window.nb0"), Bytes(expected.begin() + 0x800, expected.begin() + 0x1800));
  EXPECT_EQ(tool({bin, "convert", "raw", dir / "tail.nb0", "2147610624", "0x2000"}).exit_code, 0);  // 0x8001F000
  Bytes tail(expected.end() - 0x1000, expected.end());
  tail.resize(0x2000, 0);
  EXPECT_EQ(read_file(dir / "tail.nb0"), tail);
  // START is a 32-bit address before the image's end.
  const ToolResult wide = tool({bin, "convert", "raw", dir / "none.nb0", "0x100000000"});
  EXPECT_EQ(wide.output, "Invalid address 0x100000000: give it in hexadecimal after 0x, or in decimal\n");
  const ToolResult past = tool({bin, "convert", "raw", dir / "none.nb0", "0x80020000"});
  EXPECT_EQ(past.output, "Writing " + dir / "none.nb0" + " ...\nUnable to write " + dir / "none.nb0" +
                             ": 0x80020000 lies past the end of the image\n");
  EXPECT_EQ(past.exit_code, 1);
  EXPECT_FALSE(file_exists(dir / "none.nb0"));

  const ToolResult converted = tool({bin, "convert", "bin", dir / "out.bin"});
  EXPECT_EQ(converted.exit_code, 0);
  const Records r = records_of(dir / "out.bin");
  EXPECT_EQ(r.start, 0x80000000u);
  EXPECT_EQ(r.length, 0x20000u);
  EXPECT_EQ(r.launch, 0x80001234u);  // the source's
  uint32_t next = r.start;
  for (const auto& [address, length] : r.records) {
    EXPECT_EQ(address, next);
    next += length;
  }
  EXPECT_EQ(next, 0x80020000u);
  EXPECT_TRUE(all_checksums_correct(dir / "out.bin"));
  const ToolResult verified = tool({dir / "out.bin", "verify"});
  EXPECT_NE(verified.output.find(": no problems\n"), std::string::npos) << verified.output;

  // Round trips, and the same listing from every form; a raw source's
  // launch address is its kernel's entry point.
  EXPECT_EQ(tool({dir / "out.bin", "convert", "raw", dir / "again.nb0"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "again.nb0"), expected);
  EXPECT_EQ(tool({dir / "nk.nb0", "convert", "bin", dir / "from_raw.bin"}).exit_code, 0);
  EXPECT_EQ(tool({dir / "from_raw.bin", "convert", "raw", dir / "third.nb0"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "third.nb0"), expected);
  EXPECT_EQ(records_of(dir / "from_raw.bin").launch, 0x10000u + 0);  // code.dll: base 0x10000, entry 0
  const std::string listing = tool({bin, "list"}).output;
  for (const char* form : {"nk.nb0", "out.bin", "from_raw.bin"}) EXPECT_EQ(tool({dir / form, "list"}).output, listing);

  // Where the ROM header gives no end, the image ends with its last record.
  rom.physlast = rom.physfirst;
  rom.layout().write(bin);
  EXPECT_EQ(tool({bin, "convert", "raw", dir / "nk.nb0"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "nk.nb0"), rom.layout().raw_image());
}

// A stepping-stone loader built with a ROM offset of 0x0C000000: its image
// from image_start to physlast as it runs, its kernel's code at 0x0C001000,
// and the reset vector in a record at address 0.
BinBuilder stepping_stone(uint32_t image_start, uint32_t physlast) {
  RomBuilder rom;
  rom.image_start = image_start;
  rom.rom_header_address = 0x0C000800;
  rom.rom_offset = 0x0C000000;
  rom.physfirst = image_start;
  rom.physlast = physlast;
  add_loader(rom, 0x0C000000, Bytes(0x40, 0xE5)).e32 = [] {
    E32Fields e;
    e.image_base = 0x0C000000;
    e.entry_point = 0x1000;
    return e;
  }();
  BinBuilder built = rom.layout();
  built.put(0, Bytes{0x0E, 0x00, 0x00, 0xEA});
  return built;
}

TEST(Convert, ImagesBuiltWithARomOffsetConvertAtTheAddressesTheyRunAt) {
  TempDir dir;
  const std::string bin = dir / "step.bin";
  BinBuilder built = stepping_stone(0x0C000000, 0x0C002000);
  built.launch_address = 0x1000;
  built.write(bin);
  ASSERT_EQ(built.records().front().address, 0u);

  // The raw image opens as one, at the addresses it runs at; the BIN files
  // keep the records' addresses, and a raw source's launch address is its
  // kernel's entry point there.
  EXPECT_EQ(tool({bin, "convert", "raw", dir / "step.nb0"}).exit_code, 0);
  const Bytes raw = read_file(dir / "step.nb0");
  EXPECT_EQ(raw.size(), 0x2000u);
  const std::string listing = tool({bin, "list"}).output;
  EXPECT_EQ(tool({dir / "step.nb0", "list"}).output, listing);
  EXPECT_EQ(tool({bin, "convert", "raw", dir / "window.nb0", "0x0C001000", "0x1000"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "window.nb0"), Bytes(raw.begin() + 0x1000, raw.end()));
  EXPECT_EQ(tool({bin, "convert", "bin", dir / "copy.bin"}).exit_code, 0);
  const Records copy = records_of(dir / "copy.bin");
  EXPECT_EQ(copy.records.front().first, 0u);
  EXPECT_EQ(copy.launch, 0x1000u);
  EXPECT_EQ(tool({dir / "copy.bin", "list"}).output, listing);
  EXPECT_EQ(tool({dir / "step.nb0", "convert", "bin", dir / "raw.bin"}).exit_code, 0);
  EXPECT_EQ(records_of(dir / "raw.bin").launch, 0x0C001000u);
}

// A stepping stone built at 0xFFFFF000 with a ROM offset: its first page
// (the "ECEC" word) lies at the top of the address space and its code from
// address 0 on, so the image runs across the wrap.
TEST(Convert, ImagesThatRunAcrossTheTopOfTheAddressSpaceConvertWhole) {
  TempDir dir;
  const std::string bin = dir / "wrap.bin";
  BinBuilder built = stepping_stone(0x0BFFF000, 0x0C002058);
  Bytes vectors(0x40, 0);
  vectors[0] = 0xFE, vectors[1] = 0x03, vectors[3] = 0xEA;  // a branch on to address 0
  built.put(0xFFFFF000, vectors);
  built.end_record = false;  // the kernel's entry, through the ROM offset, is where a loader jumps
  built.write(bin);
  ASSERT_EQ(built.records().back().address, 0xFFFFF000u);

  EXPECT_EQ(tool({bin, "convert", "raw", dir / "wrap.nb0"}).exit_code, 0);
  const Bytes raw = read_file(dir / "wrap.nb0");
  ASSERT_EQ(raw.size(), 0x3058u);
  EXPECT_EQ(Bytes(raw.begin() + 0x40, raw.begin() + 0x44), bytes_of("ECEC"));
  EXPECT_EQ(Bytes(raw.begin() + 0x1000, raw.begin() + 0x1004), (Bytes{0x0E, 0x00, 0x00, 0xEA}));
  const std::string listing = tool({bin, "list"}).output;
  EXPECT_EQ(tool({dir / "wrap.nb0", "list"}).output, listing);
  EXPECT_NE(tool({dir / "wrap.nb0", "info"}).output.find("launch address: 0x0c001000\n"), std::string::npos);
  // The vendor's .nb0 of the code: START at physfirst + 0x1000, 8 KiB.
  EXPECT_EQ(tool({bin, "convert", "raw", dir / "code.nb0", "0x0C000000", "8192"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "code.nb0"), Bytes(raw.begin() + 0x1000, raw.begin() + 0x3000));
  // The BIN form ends a record at the top and goes on from 0; it converts
  // back to the same raw image.
  EXPECT_EQ(tool({bin, "convert", "bin", dir / "copy.bin"}).exit_code, 0);
  const Records copy = records_of(dir / "copy.bin");
  EXPECT_EQ(copy.start, 0xFFFFF000u);
  EXPECT_EQ(copy.length, 0x3058u);
  EXPECT_EQ(copy.records, (std::vector<std::pair<uint32_t, uint32_t>>{{0xFFFFF000u, 0x1000}, {0, 0x2058}}));
  EXPECT_EQ(copy.launch, 0x1000u);
  EXPECT_EQ(tool({dir / "copy.bin", "list"}).output, listing);
  EXPECT_EQ(tool({dir / "copy.bin", "verify"}).exit_code, 0);
  EXPECT_EQ(tool({dir / "copy.bin", "convert", "raw", dir / "again.nb0"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "again.nb0"), raw);
}

TEST(Convert, SeveralImagesEachToItsOwnFileAndNeverOverTheSource) {
  TempDir dir;
  RomBuilder first, second;
  first.add_file("a.txt", bytes_of("first"));
  second.image_start = 0x90000000;
  second.rom_header_address = 0x90000400;
  second.add_file("b.txt", bytes_of("second"));
  Bytes dump = raw_image(first);
  dump.resize(0x10000, 0xFF);
  const Bytes other = raw_image(second);
  dump.insert(dump.end(), other.begin(), other.end());
  const std::string file = dir / "flash.img";
  write_file(file, dump);

  const ToolResult r = tool({file, "convert", "raw", dir / "out.nb0"});
  EXPECT_EQ(r.output, "Image at offset 0x00000000\nWriting " + dir / "out-0x00000000.nb0" +
                          " ...\nImage at offset 0x00010000\nWriting " + dir / "out-0x00010000.nb0" + " ...\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(dir / "out-0x00000000.nb0"), raw_image(first));
  EXPECT_EQ(read_file(dir / "out-0x00010000.nb0"), other);
  EXPECT_EQ(xipsaw::numbered_path("dir.d/out", 0x80000), "dir.d/out-0x00080000");
  EXPECT_EQ(xipsaw::numbered_path(".nb0", 0), ".nb0-0x00000000");

  // The file itself, by its own name or another, is never the output.
  const std::string one = dir / "one.img";
  write_file(one, raw_image(first));
  std::vector<std::string> same{one};
  if (!kWindows) {
    std::filesystem::create_symlink(one, dir / "link.img");
    same.push_back(dir / "link.img");
  }
  for (const std::string& out : same) {
    const ToolResult refused = tool({one, "convert", "bin", out});
    EXPECT_EQ(refused.output, "Writing " + out + " ...\nUnable to write " + out + ": it is " + one +
                                  " or its journal\n");
    EXPECT_EQ(refused.exit_code, 1) << out;
  }
  EXPECT_EQ(read_file(one), raw_image(first));
  EXPECT_EQ(tool({dir / "one.img", "convert", "raw", dir / "x", "0x1000000000"}).exit_code, 1);  // no address
  // A small file whose ROM header puts the image's end 1.8 GiB on is not
  // written out as that many zeros, unless SIZE asks for them.
  RomBuilder vast;
  vast.add_file("a.txt", bytes_of("x"));
  vast.physfirst = vast.image_start;
  vast.physlast = 0xF0000000;
  vast.layout().write(dir / "vast.bin");
  for (const char* form : {"raw", "bin"}) {
    const ToolResult refused = tool({dir / "vast.bin", "convert", form, dir / "vast.out"});
    EXPECT_NE(refused.output.find("the image spans 0x70000000 bytes, more than 200 times the file"),
              std::string::npos)
        << refused.output;
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_FALSE(file_exists(dir / "vast.out"));
  }
  EXPECT_EQ(tool({dir / "vast.bin", "convert", "raw", dir / "vast.out", "0x80000000", "0x4000"}).exit_code, 0);
  // The images of one file share the bound: two that span 120 times the
  // file each, behind a vendor's header.
  Bytes twice(0x100, 0xFF);
  vast.physlast = vast.image_start + 120 * static_cast<uint32_t>(2 * vast.layout().build().size() + twice.size());
  for (int i = 0; i < 2; ++i) {
    const Bytes one_image = vast.layout().build();
    twice.insert(twice.end(), one_image.begin(), one_image.end());
  }
  write_file(dir / "twice.img", twice);
  const ToolResult shared = tool({dir / "twice.img", "convert", "bin", dir / "twice.bin"});
  EXPECT_NE(shared.output.find("more than 200 times the file it is in with the images before it\n"),
            std::string::npos)
      << shared.output;
  EXPECT_EQ(shared.exit_code, 1);
  EXPECT_EQ(tool({dir / "nothing", "convert", "bin", dir / "x"}).exit_code, 2);
  // Nothing is left beside the outputs.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().filename().string().find(".xipsaw-"), std::string::npos) << entry.path();
}

}  // namespace
