// The registry files of an image: listed, exported as .reg text, and changed
// by .reg files, on hives and flat registries of the test builder.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "hive_builder.h"
#include "registry/hive.h"
#include "lzx_encoder.h"
#include "tool_run.h"

using namespace testkit;

namespace {

constexpr uint32_t kHeap = 0x5000;

// HKEY_CURRENT_USER\Control Panel; HKEY_LOCAL_MACHINE\init with BootVars,
// and \Empty. Handles depth first: Control Panel 1, Beep 2, init 3,
// Launch10 4, Depend10 5, BootVars 6, Flags 7, Empty 8.
HiveBuilder boot_hive() {
  HiveBuilder hive;
  hive.roots[1] = {{u"Control Panel", {string_value(u"Beep", u"yes")}, {}}};
  hive.roots[2] = {{u"init",
                    {string_value(u"Launch10", u"shell.exe"), {u"Depend10", 3, {0x14, 0}}},
                    {{u"BootVars", {dword_value(u"Flags", 3)}, {}}}},
                   {u"Empty", {}, {}}};
  return hive;
}

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (uint8_t& byte : b) byte = static_cast<uint8_t>(random());
  return b;
}

// A value of random bytes, which compress to about their size: deleting it
// makes room for the other changes to a compressed hive.
HiveKey noise_key() { return {u"Noise", {{u"n", 3, random_bytes(600, 7)}}, {}}; }

const char kBootExport[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CURRENT_USER\\Control Panel]\n\"Beep\"=\"yes\"\n\n"
    "[HKEY_LOCAL_MACHINE\\init]\n\"Launch10\"=\"shell.exe\"\n\"Depend10\"=hex:14,00\n\n"
    "[HKEY_LOCAL_MACHINE\\init\\BootVars]\n\"Flags\"=dword:00000003\n\n"
    "[HKEY_LOCAL_MACHINE\\Empty]\n\n";

Bytes utf16(const std::u16string& text) { return string_value(u"", text).data; }

std::string hex_list(const Bytes& data) {
  std::string text;
  for (uint8_t byte : data) {
    if (!text.empty()) text += ',';
    text += "0123456789abcdef"[byte >> 4];
    text += "0123456789abcdef"[byte & 15];
  }
  return text;
}

struct RegistryImage {
  TempDir dir;
  std::string bin = dir / "nk.bin";
  RomBuilder rom;

  // A hive file, stored as it is or compressed in the image's format.
  void add(const std::string& name, const Bytes& content, bool compressed = false) {
    if (!compressed) {
      rom.add_file(name, content);
      return;
    }
    Bytes packed(content.size() + 4096);
    const int32_t n = lzx::compress_buffer(content.data(), static_cast<uint32_t>(content.size()), packed.data(),
                                           static_cast<uint32_t>(packed.size()));
    packed.resize(static_cast<size_t>(n));
    rom.add_file(name, packed, 0x800).real_size = static_cast<uint32_t>(content.size());
  }
  void write() { rom.layout().write(bin); }
  ToolResult run(std::vector<std::string> words) {
    words.insert(words.begin(), {bin, "registry"});
    return run_tool(words);
  }
  std::string changes(const std::string& text) {
    write_file(dir / "changes.reg", bytes_of(text));
    return dir / "changes.reg";
  }
  ToolResult import(const std::string& name, const std::string& text) {
    return run({name, "import", changes(text)});
  }
  // The file's content as the image now holds it.
  Bytes extracted(const std::string& name) {
    run_tool({bin, "extract", name});
    return read_file(dir / ("nk/" + name));
  }
};

TEST(Registry, ExportWritesEveryValueTypeKeysDepthFirstOldestFirst) {
  HiveBuilder hive;
  HiveKey types{u"Types",
                {string_value(u"", u"empty name"),
                 string_value(u"quote\"back\\", u"C:\\dir \"x\""),
                 string_value(u"unicode", u"Grüße ✓ 𝄞"),
                 {u"multi", 7, utf16(std::u16string(u"a\0b\0", 4))},
                 {u"resource", 0x15, utf16(u"x,#1")},
                 {u"no nul", 1, {0x61, 0, 0x62, 0}},
                 {u"two nuls", 1, {0x61, 0, 0, 0, 0, 0}},
                 {u"odd", 1, {0x61, 0, 0}},
                 string_value(u"line", u"a\nb"),
                 {u"short dword", 4, {1, 2, 3}},
                 {u"none", 0, {}},
                 string_value(u"bad\x01name", u"x"),
                 dword_value(std::u16string(300, u'n'), 1)},
                {}};
  auto two_digits = [](int i) { return std::string{char('0' + i / 10), char('0' + i % 10)}; };
  HiveKey deep{u"d39", {dword_value(u"leaf", 7)}, {}};
  for (int i = 38; i >= 0; --i) deep = {{u'd', char16_t(u'0' + i / 10), char16_t(u'0' + i % 10)}, {}, {deep}};
  hive.roots[3] = {{u"S-1", {}, {}}};
  hive.roots[2] = {types, {u"back\\slash", {}, {{u"below", {}, {}}}}, deep};
  RegistryImage image;
  image.add("types.hv", hive.build());
  image.write();

  std::string expected =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Types]\n"
      "\"\"=\"empty name\"\n\"quote\\\"back\\\\\"=\"C:\\\\dir \\\"x\\\"\"\n\"unicode\"=\"Grüße ✓ 𝄞\"\n"
      "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n\"resource\"=hex(15):78,00,2c,00,23,00,31,00,00,00\n"
      "\"no nul\"=hex(1):61,00,62,00\n\"two nuls\"=hex(1):61,00,00,00,00,00\n\"odd\"=hex(1):61,00,00\n"
      "\"line\"=hex(1):61,00,0a,00,62,00,00,00\n\"short dword\"=hex(4):01,02,03\n\"none\"=hex(0):\n"
      "; a value is left out: its name cannot be written in .reg\n\"" + std::string(300, 'n') +
      "\"=dword:00000001\n\n; a key below [HKEY_LOCAL_MACHINE] is left out with everything below it: its name "
      "cannot be written in .reg\n\n";
  std::string path = "[HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 40; ++i) {
    path += "\\d" + two_digits(i);
    expected += path + "]\n" + (i == 39 ? "\"leaf\"=dword:00000007\n" : "") + "\n";
  }
  expected += "[HKEY_USERS\\S-1]\n\n";
  const ToolResult r = image.run({"types.hv"});
  EXPECT_EQ(r.output, expected);
  EXPECT_EQ(r.exit_code, 0);
  // Nothing that the export left out or wrote changes on the way back.
  const Bytes before = read_file(image.bin);
  EXPECT_EQ(image.import("types.hv", r.output).output,
            "Importing " + image.dir / "changes.reg" + " into types.hv ...\nNo change to types.hv\n");
  EXPECT_EQ(read_file(image.bin), before);
}

TEST(Registry, ListsEachRegistryFileAndRefusesHostileHivesByName) {
  RegistryImage image;
  image.add("boot.hv", boot_hive().build());
  image.add("default.hv", boot_hive().build(), true);
  image.add("default.fdf", build_flat_registry({{2, u"Comm\\Serial", {dword_value(u"Port", 1), string_value(u"Dll", u"s.dll")}},
                                                {0, u".txt", {}}}));
  image.add("readme.txt", bytes_of("not a registry"));
  image.write();
  EXPECT_EQ(image.run({"boot.hv"}).output, kBootExport);
  const std::string listing = "boot.hv: hive, 4 keys, 4 values\ndefault.hv: hive, 4 keys, 4 values\n"
                              "default.fdf: flat registry, 2 keys, 2 values\n";
  ToolResult r = image.run({});
  EXPECT_EQ(r.output, listing);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(image.run({"default.fdf"}).output,
            "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\.txt]\n\n[HKEY_LOCAL_MACHINE\\Comm\\Serial]\n"
            "\"Port\"=dword:00000001\n\"Dll\"=\"s.dll\"\n\n");
  r = image.run({"readme.txt"});
  EXPECT_EQ(r.output, "readme.txt is not a registry file\n");
  EXPECT_EQ(r.exit_code, 1);
  r = image.run({"missing.hv"});
  EXPECT_EQ(r.output, "Unable to find missing.hv on BIN\n");
  EXPECT_EQ(r.exit_code, 1);

  // Lists that loop or lead astray, sizes past the file, a heap that does
  // not walk to its end: each named, the others still listed.
  const Bytes good = boot_hive().build();
  const uint32_t init = get_u32(good, kHeap + 12 + 4 * 3) & ~1u;  // init's record
  const uint32_t init_size = get_u32(good, kHeap + init) & 0xFFFFFF;
  xipsaw::Hive parsed;
  std::string why;
  ASSERT_TRUE(parsed.open(good, why)) << why;
  const uint32_t value = parsed.payload_of(get_u32(good, kHeap + init + 20));  // init's first value
  const uint32_t value_size = parsed.payload_size_of(value);
  size_t tail = good.size() - 12;  // the free record at the tail
  while (get_u32(good, tail) != ((good.size() - tail - 12) | 1)) tail -= 4;
  struct Case {
    std::function<void(Bytes&)> damage;
    std::string why;
  };
  const std::vector<Case> cases = {
      {[&](Bytes& h) { put_u32(h, kHeap + init + 12, 0x20000003); }, "the key handle 0x20000003 is reached twice: its lists loop"},
      {[&](Bytes& h) { put_u32(h, kHeap + init + 16, 0x20000003); }, "the key handle 0x20000003 is reached twice: its lists loop"},
      {[&](Bytes& h) { put_u32(h, kHeap + init + 20, 0x20000400); }, "the value handle 0x20000400 leads to no value"},
      {[&](Bytes& h) { put_u32(h, kHeap + init + 20, 0x20000003); }, "the value handle 0x20000003 leads to no value"},
      {[&](Bytes& h) { put_u32(h, kHeap + init + 24, 0x40000000); }, "a key's name runs past its record"},
      {[&](Bytes& h) { put_u32(h, kHeap + init + 24, (init_size - 16) / 2 + 1); }, "a key's name runs past its record"},
      {[&](Bytes& h) { put_u16(h, value + 6, value_size - 10 - 2 * get_u16(h, value + 8) + 1); },
       "a value's name or data runs past its record"},
      {[&](Bytes& h) { put_u32(h, kHeap + init, 0xC0FFFFF0); }, "its heap does not walk to its end"},
      {[&](Bytes& h) { put_u32(h, 0x20, static_cast<uint32_t>(h.size() + 4096)); },
       "its size word says " + std::to_string(good.size() + 4096) + " bytes, the file has " + std::to_string(good.size())},
      {[&](Bytes& h) { put_u32(h, tail, get_u32(h, tail) - 4); }, "its heap does not walk to its end"},
      {[&](Bytes& h) { put_u32(h, kHeap + init, get_u32(h, kHeap + init) ^ 0x90000000); },
       "a record at heap offset " + std::to_string(init) + " has the unknown type 5"},
  };
  for (const Case& c : cases) {
    RegistryImage hostile;
    Bytes hive = good;
    c.damage(hive);
    hostile.add("bad.hv", hive);
    hostile.add("boot.hv", good);
    hostile.write();
    r = hostile.run({});
    EXPECT_EQ(r.output, "Unable to read registry bad.hv: " + c.why + "\nboot.hv: hive, 4 keys, 4 values\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(hostile.run({"bad.hv"}).exit_code, 1);
  }
  write_file(image.bin, bytes_of("no image here"));
  EXPECT_EQ(image.run({}).exit_code, 2);
}

TEST(Registry, ImportEditsAsTheDeviceDoes) {
  for (bool compressed : {false, true}) {
    RegistryImage image;
    HiveBuilder builder = boot_hive();
    builder.roots[2].push_back(noise_key());
    const Bytes hive = builder.build();
    image.add("boot.hv", hive, compressed);
    image.write();
    const Bytes before = read_file(image.bin);
    ToolResult r = image.import("boot.hv", image.run({"boot.hv"}).output);
    EXPECT_EQ(r.output, "Importing " + image.dir / "changes.reg" + " into boot.hv ...\nNo change to boot.hv\n");
    EXPECT_EQ(read_file(image.bin), before);

    r = image.import("boot.hv",
                     "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\init]\n"
                     "\"Launch10\"=\"explorer.exe\"\n\"Depend10\"=hex:15,00\n\"Launch20\"=\"app.exe\"\n\n"
                     "[HKEY_LOCAL_MACHINE\\Drivers\\New]\n@=dword:2\n\n[-HKEY_LOCAL_MACHINE\\Empty]\n"
                     "[-HKEY_CURRENT_USER\\Control Panel]\n[-HKEY_LOCAL_MACHINE\\Noise]\n\n; names match whatever their case\n"
                     "[HKEY_LOCAL_MACHINE\\INIT\\bootvars]\n\"FLAGS\"=-\n\"missing\"=-\n[-HKEY_LOCAL_MACHINE\\Nowhere]\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(image.run({"boot.hv"}).output,
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\init]\n\"Launch10\"=\"explorer.exe\"\n"
              "\"Depend10\"=hex:15,00\n\"Launch20\"=\"app.exe\"\n\n[HKEY_LOCAL_MACHINE\\init\\BootVars]\n\n"
              "[HKEY_LOCAL_MACHINE\\Drivers]\n\n[HKEY_LOCAL_MACHINE\\Drivers\\New]\n\"Default\"=dword:00000002\n\n");
    EXPECT_TRUE(all_checksums_correct(image.bin));

    // Launch10 grew: a new record, its handle entry repointed (and its old
    // block taken by a new key). Depend10 kept its size and its place. The
    // deleted value's handle is free again; the file kept its size.
    const Bytes after = image.extracted("boot.hv");
    auto entry = [](const Bytes& h, uint32_t index) { return get_u32(h, kHeap + 12 + 4 * index); };
    EXPECT_NE(entry(after, 4), entry(hive, 4));
    EXPECT_EQ(get_u32(after, kHeap + (entry(after, 4) & ~1u) + 8), 4u);
    EXPECT_NE(get_u32(after, kHeap + (entry(hive, 4) & ~1u) + 8), 4u);
    EXPECT_EQ(entry(after, 5), entry(hive, 5));
    EXPECT_EQ(after[kHeap + (entry(hive, 5) & ~1u) + 12 + 10 + 16], 0x15);
    EXPECT_EQ(entry(after, 7) & 1, 0u);
    EXPECT_EQ(after.size(), hive.size());
  }
}

TEST(Registry, ImportGrowsTheFileInStepsAndAddsHandlePages) {
  RegistryImage image;
  const Bytes hive = boot_hive().build();
  image.add("boot.hv", hive);
  image.write();
  std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Many]\n\"big\"=hex:" +
                     hex_list(Bytes(9000, 0)) + "\n";
  for (int i = 0; i < 1100; ++i) text += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
  const ToolResult r = image.import("boot.hv", text);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(image.run({}).output, "boot.hv: hive, 5 keys, 1105 values\n");
  const Bytes after = image.extracted("boot.hv");
  EXPECT_GT(after.size(), hive.size() + 9000);
  EXPECT_EQ(after.size() % 4096, 0u);
  EXPECT_EQ(get_u32(after, 0x20), after.size());
  EXPECT_NE(get_u32(after, 0x1004), 0u);  // handle table page 1
  // Grown past its slot, the file went in compressed.
  EXPECT_NE(run_tool({image.bin, "list"}).output.find("C___"), std::string::npos);
}

TEST(Registry, RefusedImportsChangeNothing) {
  RegistryImage image;
  HiveBuilder packed = boot_hive();
  packed.roots[2][0].values.push_back({u"noise", 3, random_bytes(4000, 1)});
  image.add("boot.hv", packed.build(), true);
  image.add("default.fdf", build_flat_registry({{2, u"Comm", {dword_value(u"Port", 1)}}}));
  image.write();
  const Bytes before = read_file(image.bin);
  const std::string reg = image.dir / "changes.reg";
  const std::string head = "Windows Registry Editor Version 5.00\n\n";
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"REGEDIT5\n", "line 1: a .reg file begins with \"Windows Registry Editor Version 5.00\""},
      {head + "[HKEY_NOWHERE\\x]\n", "line 3: \"HKEY_NOWHERE\" is no predefined root"},
      {head + "[HKEY_LOCAL_MACHINE\\x\n", "line 3: a key line ends with ]"},
      {head + "[-HKEY_LOCAL_MACHINE]\n", "line 3: a predefined root cannot be deleted"},
      {head + "\"a\"=dword:1\n", "line 3: a value comes before any key"},
      {head + "[-HKEY_LOCAL_MACHINE\\x]\n\"a\"=dword:1\n", "line 4: a value follows a deleted key"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=dword:123456789\n", "line 4: dword: takes 1 to 8 hexadecimal digits"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=hex:01,zz\n",
       "line 4: a hex list holds bytes of two hexadecimal digits separated by commas"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=hex(1g):00\n", "line 4: hex( takes 1 to 8 hexadecimal digits and )"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=hex:01,\\\n", "line 4: a hex list goes on past the end of the file"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=\"open\n", "line 4: a quote is not closed"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=\"C:\\dir\"\n", "line 4: a backslash in quotes stands before \\ or \""},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\" dword:1\n", "line 4: a value's name is followed by ="},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=word:1\n", "line 4: a value is \"text\", dword:, hex:, hex(type): or -"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\nplain\n", "line 4: expected [key] or \"name\"=value"},
      {head + "[HKEY_LOCAL_MACHINE\\x]\n\"a\"=hex:" + hex_list(Bytes(65536, 0)) + "\n",
       "line 4: a hive holds at most 65535 bytes of data in a value"},
  };
  for (const Case& c : cases) {
    const ToolResult r = image.import("boot.hv", c.text);
    const std::string importing = c.message.find("hive holds") != std::string::npos
                                      ? "Importing " + reg + " into boot.hv ...\n"
                                      : "";
    EXPECT_EQ(r.output, importing + reg + ", " + c.message + "\n");
    EXPECT_EQ(r.exit_code, 1);
  }
  // More than the compressed file's slot holds: update's refusal.
  ToolResult r = image.import("boot.hv", head + "[HKEY_LOCAL_MACHINE\\init]\n\"more\"=hex:" +
                                             hex_list(random_bytes(6000, 2)) + "\n");
  EXPECT_NE(r.output.find("The size of the updated file must be less-then or equal to the size of the old file.\n"
                          "This feature might be introduced in a newer version.\nUpdated file (COMPRESSED): "),
            std::string::npos);
  EXPECT_EQ(r.exit_code, 1);
  r = image.import("default.fdf", head + "[HKEY_LOCAL_MACHINE\\Comm]\n\"Port\"=dword:2\n");
  EXPECT_EQ(r.output, "Importing " + reg + " into default.fdf ...\nUnable to import into default.fdf: a flat registry "
                      "begins with a check that xipsaw cannot compute yet\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(read_file(image.bin), before);
}

TEST(Registry, ReadsRegeditsUtf16AndPlaysBackAJournalBeforeImporting) {
  RegistryImage image;
  image.add("boot.hv", boot_hive().build());
  image.write();
  write_file(image.bin + "-journal", bytes_of("left by a power cut"));
  ToolResult r = image.run({});
  EXPECT_NE(r.output.find("of an interrupted update is pending"), std::string::npos);
  EXPECT_EQ(r.exit_code, 1);

  Bytes text{0xFF, 0xFE};
  const Bytes body = utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\init]\r\n\"Ä\"=\"ö\"\r\n");
  text.insert(text.end(), body.begin(), body.end() - 2);
  write_file(image.dir / "utf16.reg", text);
  r = image.run({"boot.hv", "IMPORT", image.dir / "utf16.reg"});
  EXPECT_EQ(r.output.substr(0, r.output.find('\n')),
            "Removed the incomplete journal of an interrupted update; " + image.bin + " was not changed");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(image.run({"boot.hv"}).output.find("\"Depend10\"=hex:14,00\n\"Ä\"=\"ö\"\n"), std::string::npos);
}

TEST(Registry, EndToEndThroughTheExecutableOnACompressedHive) {
  RegistryImage image;
  HiveBuilder hive = boot_hive();
  hive.roots[2].push_back(noise_key());
  image.add("boot.hv", hive.build(), true);
  image.write();
  const std::string reg = image.changes("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\init]\n"
                                        "\"Launch10\"=\"myshell.exe\"\n[-HKEY_LOCAL_MACHINE\\Noise]\n");
  ProcessRun run = run_program(xipsaw_executable(), {image.bin, "registry", "boot.hv", "import", reg}, "");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run = run_program(xipsaw_executable(), {image.bin, "registry", "boot.hv"}, "");
  EXPECT_NE(run.output.find("[HKEY_LOCAL_MACHINE\\init]\n\"Launch10\"=\"myshell.exe\"\n"), std::string::npos);
  EXPECT_EQ(run_program(xipsaw_executable(), {image.bin, "registry", "boot.hv", "import"}, "").exit_code, 1);
  run = run_program(xipsaw_executable(), {image.bin, "registry", "boot.hv", "import", image.dir / "none.reg"}, "");
  EXPECT_EQ(run.output, "Unable to stat file " + image.dir / "none.reg" + "\n");
  EXPECT_EQ(run.exit_code, 1);
}

// The real hives of ../shared, when this machine has them (never part of
// the project): read to their counts, and their exports import unchanged.
TEST(Registry, RealHivesReadToTheirCounts) {
  const std::string samples = "/work/shared/samples-registry";
  if (!std::filesystem::exists(samples + "/boot.hv")) GTEST_SKIP() << "no " << samples;
  RegistryImage image;
  image.add("boot.hv", read_file(samples + "/boot.hv"), true);
  image.add("user.hv", read_file(samples + "/user.hv"));
  image.write();
  EXPECT_EQ(image.run({}).output, "boot.hv: hive, 105 keys, 364 values\nuser.hv: hive, 37 keys, 55 values\n");
  const std::string boot = image.run({"boot.hv"}).output;
  EXPECT_NE(boot.find("[HKEY_LOCAL_MACHINE\\init\\BootVars]\n\"Flags\"=dword:00000003\n\"ProfileDir\"=\"\\\\Documents "
                      "and Settings\\\\user.hv\"\n\"SystemHive\"=\"\\\\Documents and Settings\\\\system.hv\"\n"),
            std::string::npos);
  const Bytes before = read_file(image.bin);
  EXPECT_EQ(image.import("boot.hv", boot).exit_code, 0);
  EXPECT_EQ(image.import("user.hv", image.run({"user.hv"}).output).exit_code, 0);
  EXPECT_EQ(read_file(image.bin), before);
}

}  // namespace
