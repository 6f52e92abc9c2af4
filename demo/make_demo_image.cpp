// Writes the demo image demo/nk.bin: two small modules, one with a
// compressed section, and a few files, plain and compressed.
//   make_demo_image <output path>
#include <cstdio>
#include <string>

#include "image_builder.h"
#include "lzx_encoder.h"

using namespace testkit;

namespace {

Bytes compress(const Bytes& data) {
  Bytes out(data.size() + 64 + 3 * (data.size() / 4096 + 1) * 20);
  int32_t n = lzx::compress_buffer(data.data(), static_cast<uint32_t>(data.size()), out.data(),
                                   static_cast<uint32_t>(out.size()));
  if (n < 0) {
    std::fprintf(stderr, "compression failed\n");
    std::exit(1);
  }
  out.resize(static_cast<size_t>(n));
  return out;
}

Bytes code_bytes(size_t n) {
  // Something that looks like x86 code: calls, moves and returns.
  Bytes b;
  for (uint32_t i = 0; b.size() < n; ++i) {
    Bytes op = {0x55, 0x8B, 0xEC, 0xE8, static_cast<uint8_t>(i * 16), 0x01, 0x00, 0x00, 0x5D, 0xC3};
    b.insert(b.end(), op.begin(), op.end());
  }
  b.resize(n);
  return b;
}

Bytes text(const std::string& line, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += line + std::to_string(i) + "\r\n";
  return bytes_of(s);
}

RomModule& module(RomBuilder& rom, const std::string& name, uint32_t load_offset) {
  RomModule& m = rom.add_module(name);
  m.attributes = 0x7;
  m.load_offset = load_offset;
  m.file_time = 0x01D9A5C3E1B2F000ull;
  m.e32.entry_point = 0x1000;
  m.e32.image_size = 0x4000;
  m.e32.image_flags = 0x0102;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_demo_image <output path>\n");
    return 1;
  }
  RomBuilder rom;

  RomModule& hello = module(rom, "hello.exe", 0x80100000);
  hello.size = 0x4000;
  hello.sections.push_back({code_bytes(0x600), 0x600, 0x1000, {}, 0, 0x60000020, true});
  Bytes data = text("greeting=", 40);
  hello.sections.push_back({compress(data), static_cast<uint32_t>(data.size()), 0x2000, {}, 0, 0xC0002040, true});

  RomModule& shell = module(rom, "shell.dll", 0x80110000);
  shell.size = 0x3000;
  shell.e32.image_flags = 0x2102;
  shell.sections.push_back({code_bytes(0x400), 0x400, 0x1000, {}, 0, 0x60000020, true});
  shell.sections.push_back({Bytes(0x80, 0), 0x80, 0x2000, {}, 0, 0x40000040, true});

  rom.add_file("readme.txt", text("This is the xipsaw demo image, line ", 20), 0x1);
  Bytes ini = text("[HKEY_LOCAL_MACHINE\\init] Launch", 60);
  RomFile& initdb = rom.add_file("initdb.ini", compress(ini), 0x801);
  initdb.real_size = static_cast<uint32_t>(ini.size());
  rom.add_file("logo.bmp", Bytes(300, 0x7F), 0x6);

  BinBuilder bin = rom.layout();
  bin.max_record_length = 0x800;  // records of at most 2 KiB, as images are often cut
  bin.write(argv[1]);
  return 0;
}
