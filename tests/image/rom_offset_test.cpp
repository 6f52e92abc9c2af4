// Loaders as boards build them: records from address 0 on, and images built
// with a ROM offset, whose records lie at other addresses than every
// address the image holds.
#include <gtest/gtest.h>

#include "opened_image.h"

using namespace testkit;

namespace {

// A loader whose records lie d below the addresses it runs at: the reset
// vector at its first address, a module whose code section begins there
// too, and a file.
RomBuilder loader(uint32_t runs_at, uint32_t d) {
  RomBuilder rom;
  rom.image_start = runs_at;
  rom.physfirst = runs_at;
  rom.rom_header_address = runs_at + 0x1D48;
  rom.data_start = runs_at + 0x1E00;
  rom.rom_offset = d;
  RomModule& nk = add_loader(rom, runs_at, Bytes{0xEA, 0x00, 0x03, 0xFE, 1, 2, 3, 4});
  nk.size = 0x1600;
  nk.sections[0].data_address = runs_at;
  rom.add_file("boot.cfg", bytes_of("speed=400"), 0x1);
  return rom;
}

TEST(RomOffset, LoadersFromAddressZeroAndWithAnOffsetOpenAsTheyRun) {
  struct Case {
    uint32_t runs_at, d;
  } cases[] = {{0x0C000000, 0x0C000000},   // records from 0 on: the data record at 0 is no end record
               {0x87F80000, 0xEE380000}};  // records at 0x99C00000, the offset modulo 2^32
  for (const Case& c : cases) {
    RomBuilder rom = loader(c.runs_at, c.d);
    BinBuilder bin = rom.layout();
    bin.split_at(rom.rom_header_address + 84 - c.d);  // the ROM header ends its record
    ASSERT_EQ(bin.records().front().address, c.runs_at - c.d);
    TempDir dir;
    bin.write(dir / "nk.bin");
    char line[200];
    std::snprintf(line, sizeof line,
                  "___S      5632                          nk.exe (ROM 0x%08x)\n"
                  "___S         9         9              boot.cfg (ROM 0x%08x)\n",
                  c.runs_at, rom.files[0].load_offset);
    ToolResult listed = run_tool({dir / "nk.bin", "list"}, fake_codec_dir());
    EXPECT_EQ(listed.output, line);
    EXPECT_TRUE(listed.waited);

    // The code section from the record at the image's first address, the
    // update written where the entry's addresses lead, less d.
    ToolResult extracted = run_tool({dir / "nk.bin", "extract"}, fake_codec_dir());
    EXPECT_EQ(extracted.output, "Extracting nk.exe ...\nExtracting boot.cfg ...\n");
    const Bytes exe = read_file(dir / "nk/nk.exe");
    ASSERT_EQ(exe.size(), 0x400u);
    EXPECT_EQ(Bytes(exe.begin() + 0x200, exe.begin() + 0x208), rom.modules[0].sections[0].data);
    write_file(dir / "new.cfg", bytes_of("speed=533"));
    EXPECT_EQ(run_tool({dir / "nk.bin", "update", "boot.cfg", dir / "new.cfg"}, fake_codec_dir()).output,
              "Updating boot.cfg ...\n");
    OpenedImage opened(dir / "nk.bin");
    EXPECT_EQ(opened.read(rom.files[0].load_offset - c.d, 9), bytes_of("speed=533"));
    EXPECT_TRUE(all_checksums_correct(dir / "nk.bin"));
  }
}

TEST(RomOffset, AddressZeroStillMeansNoneAndAHeaderMustFit) {
  // A name at address 0 is no name, although a record covers address 0.
  RomBuilder rom = loader(0, 0);
  BinBuilder bin = rom.layout();
  bin.put_u32(rom.file_entry_address(0) + 20, 0);
  TempDir dir;
  bin.write(dir / "nk.bin");
  EXPECT_EQ(run_tool({dir / "nk.bin", "list"}, fake_codec_dir()).output,
            "___S      5632                          nk.exe (ROM 0x00000000)\nUnable to read block file\n");

  // Without a ROM header whose physfirst fits, the image does not open.
  RomBuilder wrong = loader(0x0C000000, 0x0C000000);
  wrong.physfirst = 0x0C000004;
  wrong.layout().write(dir / "wrong.bin");
  EXPECT_EQ(run_tool({dir / "wrong.bin", "list"}, fake_codec_dir()).output, "Invalid ROM header\n");
}

}  // namespace
