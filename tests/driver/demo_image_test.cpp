// The bundled demo image, which the README's examples run on: an image of
// the kind the tool is for, on which every command works.
#include <gtest/gtest.h>

#include "../modules/module_testing.h"

using namespace testkit;

namespace {

TEST(DemoImage, EveryCommandWorksOnIt) {
  modtest::ToolRun run;
  write_file(run.bin, read_file(XIPSAW_DEMO_IMAGE));
  EXPECT_EQ(run_tool({run.bin, "verify"}).output, "1 images, 28 records, 2 modules, 4 files: no problems\n");
  // The boot loader jumps to the kernel's entry; the ROM header gives the
  // image's bounds, its RAM and its CPU.
  const std::string info = run_tool({run.bin, "info"}).output;
  for (const char* line : {"launch address: 0x80001000\n", "physfirst: 0x80000000\n", "physlast: 0x8001988c\n",
                           "ulRAMStart: 0x80100000\n", "usCPUType: 0x01c2 (ARM Thumb)\n", "compressed: 2 entries"})
    EXPECT_NE(info.find(line), std::string::npos) << line;

  // unpack lays the DLL's writable data where it runs, in RAM.
  EXPECT_EQ(run_tool({run.bin, "unpack"}).exit_code, 0);
  const modtest::Pe nk{run.file("nk.exe")}, shell{run.file("shell.dll")};
  EXPECT_EQ(nk.nt32(0x34) + nk.nt32(0x28), 0x80001000u);  // ImageBase + AddressOfEntryPoint
  EXPECT_EQ(shell.nt32(0x34) + shell.section(1).virtual_address, 0x80100000u);

  // A raw image and a BIN file made from it again, with the kernel's entry
  // as its launch address, list as the demo does.
  run_tool({run.bin, "convert", "raw", run.dir / "nk.nb0"});
  run_tool({run.dir / "nk.nb0", "convert", "bin", run.dir / "back.bin"});
  EXPECT_EQ(run_tool({run.dir / "back.bin", "list"}).output, run_tool({run.bin, "list"}).output);
  EXPECT_NE(run_tool({run.dir / "back.bin", "info"}).output.find("launch address: 0x80001000\n"), std::string::npos);

  // The README's registry example: a boot entry added to its hive.
  EXPECT_EQ(run_tool({run.bin, "registry"}).output, "default.hv: hive, 2 keys, 6 values\n");
  write_file(run.dir / "boot.reg", bytes_of("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\init]\r\n"
                                             "\"Launch50\"=\"myshell.exe\"\r\n\"Depend50\"=hex:14,00\r\n"));
  EXPECT_EQ(run_tool({run.bin, "registry", "default.hv", "import", run.dir / "boot.reg"}).exit_code, 0);
  EXPECT_NE(run_tool({run.bin, "registry", "default.hv"}).output.find("\"Launch50\"=\"myshell.exe\"\n"),
            std::string::npos);
}

}  // namespace
