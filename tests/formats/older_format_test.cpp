// An image of Windows CE 2.x, whose compressed sections and files are in the
// older format, through every command with the real library: what comes out
// expands as it went in, and what update writes stays in the image's format.
#include <gtest/gtest.h>

#include "buffer_decoder.h"
#include "compression/compressed_format.h"
#include "lzss_encoder.h"
#include "lzx_encoder.h"
#include "opened_image.h"

using namespace testkit;

namespace {

// Text that both formats compress well, and that differs with seed.
Bytes text(size_t n, int seed) {
  const std::string words[] = {"HKEY_LOCAL_MACHINE", "\\init", "Launch", "gwes.exe", "Depend", "=", "\r\n"};
  Bytes b;
  for (size_t i = 0; b.size() < n; ++i) {
    const std::string& w = words[(i * 5 + static_cast<size_t>(seed) + i / 7) % 7];
    b.insert(b.end(), w.begin(), w.end());
  }
  b.resize(n);
  return b;
}

Bytes compressed(const Bytes& plain, xipsaw::CompressedFormat format) {
  Bytes out(plain.size() + plain.size() / 8 + 64);
  const auto n = static_cast<uint32_t>(plain.size());
  const int32_t z = format == xipsaw::CompressedFormat::lzss
                        ? lzss::compress_buffer(plain.data(), n, out.data(), static_cast<uint32_t>(out.size()))
                        : lzx::compress_buffer(plain.data(), n, out.data(), static_cast<uint32_t>(out.size()));
  EXPECT_GT(z, 0);
  out.resize(static_cast<size_t>(z));
  return out;
}

// A kernel and a DLL with a compressed data section each (their trailing
// zeros not stored), a plain file and a compressed registry file.
RomBuilder image_in(xipsaw::CompressedFormat format) {
  RomBuilder rom;
  for (const char* name : {"nk.exe", "coredll.dll"}) {
    RomModule& m = rom.add_module(name);
    RomSection code;
    code.data = text(0x300, 1);
    code.virtual_size = 0x300;
    code.rva = 0x1000;
    code.flags = 0x60000020;
    RomSection data;
    data.data = compressed(text(5000, 2), format);
    data.virtual_size = 0x1800;
    data.rva = 0x2000;
    data.flags = 0xC0002040;
    m.sections = {code, data};
  }
  rom.add_file("readme.txt", bytes_of("plain text"));
  const Bytes registry = text(9000, 3);
  rom.add_file("default.fdf", compressed(registry, format), 0x800).real_size = static_cast<uint32_t>(registry.size());
  return rom;
}

// The stored data of the image's file index, and the format it is in.
xipsaw::CompressedFormat stored_format(const std::string& bin, const RomBuilder& rom, uint32_t index, Bytes& data) {
  OpenedImage opened(bin);
  const Bytes entry = opened.read(rom.file_entry_address(index), 28);
  data = opened.read(get_u32(entry, 24), get_u32(entry, 16));
  return xipsaw::format_of_buffer(data.data(), static_cast<uint32_t>(data.size()));
}

TEST(OlderFormat, EveryCommandOnAnImageOfIt) {
  TempDir dir;
  const std::string bin = dir / "nk.bin";
  RomBuilder rom = image_in(xipsaw::CompressedFormat::lzss);
  rom.layout().write(bin);

  EXPECT_EQ(run_tool({bin, "verify"}).output, "1 images, 2 records, 2 modules, 2 files: no problems\n");
  const std::string info = run_tool({bin, "info"}).output;
  EXPECT_NE(info.find("\ncompression format: lzss\n"), std::string::npos) << info;

  EXPECT_EQ(run_tool({bin, "extract"}).output,
            "Extracting nk.exe ...\nExtracting coredll.dll ...\nExtracting readme.txt ...\n"
            "Extracting default.fdf ...\n");
  EXPECT_EQ(read_file(dir / "nk/default.fdf"), text(9000, 3));
  const ToolResult unpacked = run_tool({bin, "unpack", dir / "run"});
  EXPECT_EQ(unpacked.exit_code, 0) << unpacked.output;
  for (const std::string& path : {dir / "nk/coredll.dll", dir / "run/coredll.dll"}) {
    // The second section's data, as its header places it.
    const Bytes dll = read_file(path);
    const uint32_t at = get_u32(dll, 0x1B8 + 40 + 20);
    ASSERT_LE(at + 5000, dll.size()) << path;
    EXPECT_EQ(Bytes(dll.begin() + at, dll.begin() + at + 5000), text(5000, 2)) << path;
  }

  // The new content goes in compressed in the image's format, and comes out
  // as it went in.
  const Bytes edited = text(8500, 4);
  write_file(dir / "edited", edited);
  EXPECT_EQ(run_tool({bin, "update", "default.fdf", dir / "edited"}).output, "Updating default.fdf ...\n");
  Bytes stored;
  EXPECT_EQ(stored_format(bin, rom, 1, stored), xipsaw::CompressedFormat::lzss);
  Bytes expanded(edited.size());
  EXPECT_EQ(codec::decompress_buffer(stored.data(), static_cast<uint32_t>(stored.size()), expanded.data(),
                                     static_cast<uint32_t>(expanded.size())),
            static_cast<int32_t>(edited.size()));
  EXPECT_EQ(expanded, edited);
  EXPECT_EQ(run_tool({bin, "verify"}).exit_code, 0);
}

TEST(OlderFormat, UpdateKeepsTheNewerFormatAndStartsWithItWhereNothingIsCompressed) {
  TempDir dir;
  const Bytes edited = text(8500, 4);
  write_file(dir / "edited", edited);
  RomBuilder newer = image_in(xipsaw::CompressedFormat::lzx);
  RomBuilder plain;
  plain.add_file("default.fdf", Bytes(1000, 'x'));
  for (RomBuilder* rom : {&newer, &plain}) {
    const std::string bin = dir / "nk.bin";
    rom->layout().write(bin);
    const std::string info = run_tool({bin, "info"}).output;
    EXPECT_NE(info.find(rom == &newer ? "\ncompression format: lzx\n" : "\ncompression format: none\n"),
              std::string::npos) << info;
    run_tool({bin, "update", "default.fdf", dir / "edited"});
    Bytes stored;
    EXPECT_EQ(stored_format(bin, *rom, rom == &newer ? 1 : 0, stored), xipsaw::CompressedFormat::lzx);
    run_tool({bin, "extract", "default.fdf"});
    EXPECT_EQ(read_file(dir / "nk/default.fdf"), edited);
  }
}

}  // namespace
