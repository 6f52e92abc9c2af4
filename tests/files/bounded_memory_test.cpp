// What whole runs hold in memory at most, on images that claim or contain
// much: it must not grow with the number of entries, nor with the sizes an
// image states.
#include <gtest/gtest.h>

#include "allocation_probe.h"
#include "tool_run.h"

using namespace testkit;
using filetest::AllocationProbe;

namespace {

// Runs the tool and returns the most memory it held at once; output, when
// given, gets the number of bytes printed.
size_t peak_of(const std::vector<std::string>& args, long* output = nullptr) {
  size_t peak = 0;
  const std::string printed = captured_output([&](std::FILE* out) {
    AllocationProbe probe;
    run_tool_to(out, args, fake_codec_dir());
    peak = probe.peak_held();
  });
  if (output != nullptr) *output = static_cast<long>(printed.size());
  return peak;
}

TEST(BoundedMemory, NamesAreHeldOnlyWhileTheirEntryIsHandled) {
  // 5000 entries that all point at one name of 1023 bytes: a run that kept
  // every name would hold 5 MB of them.
  TempDir dir;
  RomBuilder rom;
  const uint32_t count = 5000;
  const uint32_t name_address = rom.file_entry_address(count);
  for (uint32_t i = 0; i < count; ++i) {
    RomFile& f = i == 0 ? rom.add_file(std::string(1023, 'n'), bytes_of("data")) : rom.add_file({}, {});
    f.name_address = name_address;
    f.load_offset = name_address + 1024;
    f.real_size = f.stored_size = 4;
    f.emit_name = f.emit_data = i == 0;
  }
  rom.layout().write(dir / "nk.bin");
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"list"}, {"extract", "none.txt"}, {"update", "none.txt"}}) {
    std::vector<std::string> args{dir / "nk.bin"};
    args.insert(args.end(), command.begin(), command.end());
    long printed = 0;
    EXPECT_LT(peak_of(args, &printed), size_t{64} << 10) << command[0];
    if (command[0] == "list") {
      EXPECT_EQ(printed, count * (4 + 10 + 10 + 1023 + 18));
    }
  }
}

TEST(BoundedMemory, ASparseFourGibibyteImageCostsNoMoreThanASmallOne) {
  TempDir dir;
  const BinBuilder bin = sparse_image("huge.dat", 0xF0000000u);
  bin.write(dir / "nk.bin");
  EXPECT_EQ(run_tool({dir / "nk.bin", "list"}).output,
            "____-268435456-268435456              huge.dat (ROM 0x00010000)\n");
  for (const char* command : {"list", "update"})
    EXPECT_LT(peak_of({dir / "nk.bin", command, "none.txt"}), size_t{64} << 10) << command;
}

}  // namespace
