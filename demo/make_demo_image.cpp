// Writes the demo image demo/nk.bin, laid out as an ARM device's ROM image
// is: the kernel nk.exe at the image's start, its code running in place at
// the BIN file's launch address and its read-only data compressed; a DLL
// whose writable data the kernel copies to RAM at boot; the ROM header with
// the image's bounds, its RAM and its CPU; and a few files, plain and
// compressed, among them the registry hive the device boots with.
//   make_demo_image <output path>
#include <cstdio>
#include <string>

#include "hive_builder.h"
#include "image_builder.h"
#include "lzx_encoder.h"

using namespace testkit;

namespace {

constexpr uint32_t kImageStart = 0x80000000;  // nk.exe's base: the image begins with its first page
constexpr uint32_t kKernelEntry = kImageStart + 0x1000;
constexpr uint32_t kShellBase = 0x80010000;
constexpr uint32_t kTables = 0x80012000;      // the ROM header, then the tables, names and other data
constexpr uint32_t kRamStart = 0x80100000;    // where the DLL's writable data runs
constexpr uint16_t kArmThumb = 0x01C2;
constexpr uint64_t kFileTime = 0x01D9A5C3E1B2F000ull;  // 2023-06-23 11:14:30
constexpr uint32_t kLinkTime = 0x64957B30;             // 2023-06-23 11:00:00, in seconds since 1970

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

// ARM code of size bytes: the given instructions first, then small
// functions (push {r4, lr}; mov r4, r0; add r4, r4, #1; mov r0, r4;
// pop {r4, pc}) and no-ops to the end.
Bytes arm_code(std::initializer_list<uint32_t> first, size_t size) {
  std::vector<uint32_t> words(first);
  const uint32_t function[] = {0xE92D4010, 0xE1A04000, 0xE2844001, 0xE1A00004, 0xE8BD8010};
  while ((words.size() + 5) * 4 <= size) words.insert(words.end(), std::begin(function), std::end(function));
  while (words.size() * 4 < size) words.push_back(0xE1A00000);
  Bytes b(size);
  for (size_t i = 0; i < words.size(); ++i) put_u32(b, 4 * i, words[i]);
  return b;
}

Bytes text(const std::string& line, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += line + std::to_string(i) + "\r\n";
  return bytes_of(s);
}

RomModule& module(RomBuilder& rom, const std::string& name, uint32_t base, uint32_t attributes,
                  uint16_t image_flags) {
  RomModule& m = rom.add_module(name);
  m.attributes = attributes;
  m.load_offset = base;
  m.size = 0x3000;
  m.file_time = kFileTime;
  m.e32.image_base = base;
  m.e32.entry_point = 0x1000;
  m.e32.image_size = 0x3000;
  m.e32.image_flags = image_flags;
  m.e32.time_stamp = kLinkTime;
  return m;
}

// A section whose stored bytes lie at data_address (0: where the builder
// puts them).
RomSection section(const Bytes& data, uint32_t virtual_size, uint32_t rva, uint32_t flags,
                   uint32_t data_address = 0) {
  RomSection s;
  s.data = data;
  s.virtual_size = virtual_size;
  s.rva = rva;
  s.flags = flags;
  s.data_address = data_address;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_demo_image <output path>\n");
    return 1;
  }
  RomBuilder rom;
  rom.image_start = kImageStart;
  rom.rom_header_address = kTables;
  rom.cpu_type = kArmThumb;
  rom.newer_e32 = true;
  rom.physfirst = kImageStart;
  rom.ram_start = kRamStart;
  rom.ram_free = kRamStart + 0x1000;
  rom.ram_end = kRamStart + 0x300000;

  // The kernel: its entry loads a word of its compressed read-only data
  // (ldr r0, [pc, #12]; ldr r1, [r0]; cmp r1, #0; bne; b .; the data's
  // address), code runs in place.
  RomModule& nk = module(rom, "nk.exe", kImageStart, 0x1007, 0x0102);
  nk.sections.push_back(section(arm_code({0xE59F000C, 0xE5901000, 0xE3510000, 0x1AFFFFFC, 0xEAFFFFFE,
                                          kImageStart + 0x2000},
                                         0x400),
                                0x400, 0x1000, 0x60000020, kKernelEntry));
  const Bytes greeting = text("greeting=", 40);
  nk.sections.push_back(section(compress(greeting), static_cast<uint32_t>(greeting.size()), 0x2000,
                                0x40000040 | 0x2000));

  // The DLL: its code reads its writable data where it runs, in RAM
  // (ldr r0, [pc, #4]; ldr r0, [r0]; bx lr; the data's run address).
  RomModule& shell = module(rom, "shell.dll", kShellBase, 0x7, 0x2102);
  shell.sections.push_back(section(arm_code({0xE59F0004, 0xE5900000, 0xE12FFF1E, kRamStart}, 0x300), 0x300,
                                   0x1000, 0x60000020, kShellBase + 0x1000));
  Bytes settings = bytes_of("shell.dll settings, copied to RAM at boot");
  settings.resize(0x80);
  shell.sections.push_back(section(settings, 0x80, 0x2000, 0xC0000040));
  shell.sections.back().run_address = kRamStart;

  rom.add_file("readme.txt", text("This is the xipsaw demo image, line ", 20), 0x1);
  Bytes ini = text("[HKEY_LOCAL_MACHINE\\init] Launch", 60);
  RomFile& initdb = rom.add_file("initdb.ini", compress(ini), 0x801);
  initdb.real_size = static_cast<uint32_t>(ini.size());
  rom.add_file("logo.bmp", Bytes(300, 0x7F), 0x6);
  // The registry the device boots with: what its kernel starts, in order.
  HiveBuilder hive;
  HiveKey init{u"init", {}, {}};
  init.values = {string_value(u"Launch10", u"shell.exe"), string_value(u"Launch20", u"device.exe"),
                 string_value(u"Launch30", u"gwes.exe"), {u"Depend30", 3, {0x14, 0x00}}};
  HiveKey shell_key{u"Shell", {dword_value(u"StartupDelay", 0), string_value(u"Start", u"\\Windows\\shell.exe")}, {}};
  hive.roots[2] = {init, shell_key};
  rom.add_file("default.hv", hive.build(), 0x7);
  for (RomFile& file : rom.files) file.file_time = kFileTime;

  // The first page: a branch to the kernel's entry (b 0x80001000), then
  // the "ECEC" signature that the builder puts at 0x40.
  Bytes reset(0x40, 0);
  put_u32(reset, 0, 0xEA0003FE);
  auto lay_out = [&] {
    BinBuilder bin = rom.layout();
    bin.put(kImageStart, reset);
    return bin;
  };
  rom.physlast = kImageStart + static_cast<uint32_t>(lay_out().raw_image().size());
  BinBuilder bin = lay_out();
  bin.launch_address = kKernelEntry;
  bin.max_record_length = 0x800;  // records of at most 2 KiB, as images are often cut
  bin.write(argv[1]);
  return 0;
}
