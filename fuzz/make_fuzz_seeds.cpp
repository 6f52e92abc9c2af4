// Writes seed inputs for fuzz_image into a directory: one small image (a
// module with a code section, the plain file "a" that the fuzzed update
// replaces, and a compressed file) in each layout that the first byte
// chooses: as a BIN file and as a raw image, each behind a vendor header,
// and the raw image in a flash dump. With a second directory, seeds for
// fuzz_registry too: a hive and a flat registry, each with .reg text.
//   make_fuzz_seeds <directory> [<registry seed directory>]
#include <cstdio>
#include <filesystem>
#include <string>

#include "hive_builder.h"
#include "image_builder.h"
#include "tool_run.h"
#include "lzx_encoder.h"

using namespace testkit;

namespace {

RomBuilder small_image() {
  RomBuilder rom;
  rom.image_start = 0x80000000u;
  rom.rom_header_address = rom.image_start + 0x400;
  rom.cpu_type = 0x01C2;
  add_loader(rom, rom.image_start, Bytes(0x30, 0xE5));
  rom.add_file("a", bytes_of("plain file content"));
  const Bytes text = bytes_of("registry registry registry registry registry registry");
  Bytes packed(text.size() + 1024);
  const int32_t n = lzx::compress_buffer(text.data(), static_cast<uint32_t>(text.size()), packed.data(),
                                         static_cast<uint32_t>(packed.size()));
  packed.resize(n < 0 ? 0 : static_cast<size_t>(n));
  rom.add_file("c.txt", packed, 0x800).real_size = static_cast<uint32_t>(text.size());
  return rom;
}

void write_seed(const std::string& path, uint8_t layout, const Bytes& file) {
  Bytes seed{layout};
  seed.insert(seed.end(), file.begin(), file.end());
  write_file(path, seed);
}

// A registry file behind its 3-byte length, then .reg text.
void write_registry_seed(const std::string& path, const Bytes& file, const std::string& text) {
  Bytes seed{static_cast<uint8_t>(file.size()), static_cast<uint8_t>(file.size() >> 8),
             static_cast<uint8_t>(file.size() >> 16)};
  seed.insert(seed.end(), file.begin(), file.end());
  seed.insert(seed.end(), text.begin(), text.end());
  write_file(path, seed);
}

void write_registry_seeds(const std::string& dir) {
  std::filesystem::create_directories(dir);
  HiveBuilder hive;
  hive.roots[2] = {{u"init", {string_value(u"Launch10", u"shell.exe"), dword_value(u"Flags", 3)},
                    {{u"BootVars", {{u"Data", 3, {1, 2, 3}}}, {}}}}};
  write_registry_seed(dir + "/hive", hive.build(),
                      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\init]\n\"Launch10\"=\"app.exe\"\n"
                      "\"New\"=hex(7):61,00,00,00\n\"Flags\"=-\n[HKEY_LOCAL_MACHINE\\A\\B]\n@=dword:1\n"
                      "[-HKEY_LOCAL_MACHINE\\init\\BootVars]\n");
  write_registry_seed(dir + "/flat", build_flat_registry({{2, u"Comm", {dword_value(u"Port", 1)}}}),
                      "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"a\"=hex:01,\\\n  02\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s <directory> [<registry seed directory>]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::filesystem::create_directories(dir);
  RomBuilder rom = small_image();
  const Bytes bin = rom.layout().build();
  const Bytes raw = raw_image(rom);
  // Layouts: 0 as it is, 1 behind a vendor header, 2 in a flash dump.
  write_seed(dir + "/bin", 0, bin);
  write_seed(dir + "/raw", 0, raw);
  write_seed(dir + "/bin-behind-header", 1, bin);
  write_seed(dir + "/raw-behind-header", 1, raw);
  write_seed(dir + "/raw-in-dump", 2, raw);
  if (argc == 3) write_registry_seeds(argv[2]);
  return 0;
}
