// Time and peak memory of list, extract and update on large and hostile
// images, each run as a child process of the real executable, beside `cat`
// of the same BIN file as the anchor. Prints the figures; asserts nothing.
//   bench_hostile [scratch directory] [image name...] [--keep]
// Images: names (600,000 entries sharing one 1023-byte name), overlap (one
// million overlapping 2-byte records carrying one file), sparse (a sparse
// 4 GiB BIN file whose one file claims 3.75 GiB), large (4,000 files and
// 200 modules, 64 MiB), shared (verify of modules over one header, at two
// sizes), inside (what extract, unpack and verify write for entries inside
// one run of data, and for section counts the image does not back), heavy
// (the overlapping records beside the largest compressed files) and exports
// (symbols and unpack of modules over one export table of 65,536 names of
// 1,023 bytes).
//
// The children run under a 1 GiB address-space limit, so that a build that
// does not bound its memory fails there instead of taking the machine, and
// are stopped after 300 seconds. The tool's final 30-second wait is cut
// short by refusing its sleep call, so a child ends as soon as its work is
// done. Peak memory includes the few MiB that the measuring process holds
// when it starts the child (see the anchor).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "compression/binding.h"
#include "large_image.h"
#include "measured_child.h"
#include "tool_run.h"

using namespace testkit;

namespace {

struct Figures : bench::Figures {
  std::string last;  // the last line printed, when it was kept
};

// Runs args[0] with its output in output_path, in directory cwd, its sleeps
// refused (and under a file-size limit when file_limit is not 0).
Figures run_child(const std::vector<std::string>& args, const std::string& cwd, const std::string& output_path,
                  rlim_t file_limit = 0) {
  Figures f{bench::run_child(args, cwd, output_path, {file_limit, true}), {}};
  // Keep the last line: it tells how the run ended.
  if (output_path != "/dev/null") f.last = bench::last_line(output_path);
  return f;
}

void print_row(const std::string& what, const Figures& f) {
  std::printf("  %-40s %8.3f s wall %8.3f s cpu %8.1f MiB peak%s  %s\n", what.c_str(), f.wall, f.cpu, f.peak,
              bench::failure(f.status).c_str(), f.last.substr(0, 50).c_str());
}

struct Bench {
  std::string dir;
  bool keep = false;  // leave the images in dir

  // The anchor, then list, extract and update of one image.
  void measure(const std::string& name, const std::string& bin, const std::string& update_name,
               rlim_t extract_file_limit = 0, bool list_to_null = false) {
    const std::string out = dir + "/output.txt";
    const std::string tool = XIPSAW_EXECUTABLE;
    std::printf("%s:\n", name.c_str());
    print_row("cat (anchor)", run_child({"/bin/cat", bin}, dir, "/dev/null"));
    print_row("list", run_child({tool, bin, "list"}, dir, list_to_null ? "/dev/null" : out));
    print_row(extract_file_limit ? "extract (output files cut at 256 MiB)" : "extract",
              run_child({tool, bin, "extract"}, dir, out, extract_file_limit));
    std::filesystem::remove_all(std::filesystem::path(bin).replace_extension());
    write_file(dir + "/new.txt", Bytes(100, 'u'));
    print_row("update " + update_name, run_child({tool, bin, "update", update_name, dir + "/new.txt"}, dir, out));
    if (!keep) std::filesystem::remove(bin);
    std::fflush(stdout);
  }

  // 600,000 file entries that all point at one name of 1023 bytes, and at
  // one 16-byte piece of data.
  void names() {
    RomBuilder rom;
    const uint32_t count = 600000;
    const uint32_t name_address = rom.file_entry_address(count);
    const uint32_t data_address = name_address + 1024;
    for (uint32_t i = 0; i < count; ++i) {
      // Only the first entry puts the name and the data into the image.
      RomFile& f = i == 0 ? rom.add_file(std::string(1023, 'n'), Bytes(16, 'd')) : rom.add_file({}, {});
      f.name_address = name_address;
      f.load_offset = data_address;
      f.real_size = f.stored_size = 16;
      f.emit_name = f.emit_data = i == 0;
    }
    BinBuilder bin = rom.layout();
    bin.max_record_length = 64 * 1024;
    const std::string path = dir + "/names.bin";
    bin.write(path);
    measure("names: 600,000 entries sharing one 1023-byte name (" + mib(path) + ")", path, "absent.txt", 0, true);
  }

  // One file of 1,000,001 bytes carried by one million 2-byte records, each
  // overlapping the next by one byte, after the records of the ROM
  // structures.
  void overlap() {
    RomBuilder rom;
    const std::string path = dir + "/overlap.bin";
    overlapping_records(rom).write(path);
    measure("overlap: one million overlapping 2-byte records (" + mib(path) + ")", path, "overlap.dat");
  }

  // Adds the file overlap.dat to rom and lays it out: its 1,000,001 bytes
  // are carried by one million 2-byte records, each overlapping the next by
  // one byte, after the records of everything else.
  static BinBuilder overlapping_records(RomBuilder& rom) {
    const uint32_t size = 1000001;
    RomFile& f = rom.add_file("overlap.dat", Bytes(size, 0));
    f.load_offset = 0x90000000u;
    f.emit_data = false;
    const uint32_t load_offset = f.load_offset;
    BinBuilder bin = rom.layout();
    bin.max_record_length = 64 * 1024;
    for (const Record& r : bin.records()) bin.add_raw_record(r);
    std::mt19937 rng(3);
    Bytes data = bench::content(rng, size);
    for (uint32_t i = 0; i + 1 < size; ++i) bin.add_raw_record({load_offset + i, {data[i], data[i + 1]}, {}, {}, 0});
    return bin;
  }

  // The most one run holds: the largest record map the index keeps (one
  // million overlapping records) beside the largest buffers an extraction
  // takes: a file that expands to 16 MiB from almost as many stored bytes
  // (7 bits of noise in each byte), and one stored in the most bytes that
  // the extraction reads before it gives up on a buffer.
  void heavy() {
    RomBuilder rom;
    std::mt19937 rng(16);
    Bytes noise(xipsaw::kMaxExpandedSize - 1);  // the longest a 24-bit size tells
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng() & 0x7F);
    rom.add_file("noise.dat", bench::compress(noise), 0x800).real_size = xipsaw::kMaxExpandedSize;
    noise.resize(xipsaw::max_compressed_size(xipsaw::kMaxExpandedSize));
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
    rom.add_file("bound.dat", noise, 0x800).real_size = xipsaw::kMaxExpandedSize;
    const std::string path = dir + "/heavy.bin";
    overlapping_records(rom).write(path);
    measure("heavy: overlap, and 16 MiB expanded from 14.6 MiB and from the longest buffer read (" + mib(path) + ")",
            path, "overlap.dat");
  }

  // A sparse BIN file of 4 GiB whose one file claims 3.75 GiB.
  void sparse() {
    const BinBuilder bin = sparse_image("huge.dat", 0xF0000000u);
    const std::string path = dir + "/sparse.bin";
    bin.write(path);
    measure("sparse: 4 GiB BIN, one file claiming 3.75 GiB (" + mib(path) + ", sparse)", path, "huge.dat",
            rlim_t{256} << 20);
  }

  // verify of modules over one E32 header and one table of 4,096 sections
  // whose data lies in no record, at n and 2n modules: its time and output
  // grow with the modules, not with modules times sections.
  void shared() {
    const std::string tool = XIPSAW_EXECUTABLE;
    const std::string out = dir + "/output.txt";
    std::printf("shared: verify of modules over one header of 4,096 sections in no record:\n");
    double first = 0;
    for (const uint32_t modules : {65536u, 131072u}) {
      RomBuilder rom;
      rom.data_start = 0x80800000;
      for (uint32_t m = 0; m < modules; ++m) {
        RomModule& module = rom.add_module("shared.dll");
        module.name_address = 0x80700000;  // one name for all
        module.e32offset = 0x80800000;
        module.o32offset = 0x80800100;
        module.emit_name = module.emit_e32 = module.emit_o32 = m == 0;
      }
      for (uint32_t s = 0; s < 4096; ++s) {
        RomSection section;
        section.virtual_size = section.stored_size.emplace(0x10);
        section.rva = 0x1000 * (s + 1);
        section.data_address = 0x90000000 + 0x10 * s;
        section.emit_data = false;
        rom.modules[0].sections.push_back(section);
      }
      const std::string path = dir + "/shared.bin";
      rom.layout().write(path);
      const Figures f = run_child({tool, path, "verify"}, dir, out);
      char what[96];
      std::snprintf(what, sizeof what, "%u modules (%s), %.1f KiB printed", modules, mib(path).c_str(),
                    static_cast<double>(std::filesystem::file_size(out)) / 1024);
      print_row(what, f);
      if (first == 0) first = f.wall;
      else std::printf("  time at 2x the modules: %.2f times (target <= 2.5)\n", f.wall / first);
      if (!keep) std::filesystem::remove(path);
    }
    std::fflush(stdout);
  }

  // 4,096 modules over one header, whose export table names 65,536
  // functions, every name the same 1,023 bytes: symbols and unpack read
  // what their fixed limits allow, in bounded time and memory.
  void exports() {
    const std::string tool = XIPSAW_EXECUTABLE;
    const std::string out = dir + "/output.txt";
    const uint32_t n = 0x10000, rva = 0x1000, functions = 40, names = functions + 4 * n, ordinals = names + 4 * n,
                   name = ordinals + 2 * n;
    Bytes table(name + 1024, 0);
    for (const auto& [at, value] : std::vector<std::pair<uint32_t, uint32_t>>{
             {16, 1}, {20, n}, {24, n}, {28, rva + functions}, {32, rva + names}, {36, rva + ordinals}})
      put_u32(table, at, value);
    for (uint32_t i = 0; i < n; ++i) {
      put_u32(table, functions + 4 * i, rva + name);
      put_u32(table, names + 4 * i, rva + name);
      put_u16(table, ordinals + 2 * i, i);
    }
    std::fill_n(table.begin() + name, 1023, 'x');
    RomBuilder rom;
    rom.data_start = 0x80A00000;  // the names, after the one header and table
    for (uint32_t m = 0; m < 4096; ++m) {
      RomModule& module = rom.add_module("exports" + std::to_string(m) + ".dll");
      module.e32offset = 0x80800000;
      module.o32offset = 0x80800100;
      module.emit_e32 = module.emit_o32 = m == 0;
    }
    RomModule& first = rom.modules[0];
    first.e32.image_size = 0x200000;
    first.e32.directories[0] = {rva, static_cast<uint32_t>(table.size())};
    first.sections.push_back({table, static_cast<uint32_t>(table.size()), rva, {}, 0x80900000, 0x40000040, true});
    const std::string path = dir + "/exports.bin";
    rom.layout().write(path);
    std::printf("exports: 4,096 modules over one table of 65,536 exports of 1,023-byte names (%s):\n",
                mib(path).c_str());
    print_row("cat (anchor)", run_child({"/bin/cat", path}, dir, "/dev/null"));
    print_row("symbols", run_child({tool, path, "symbols"}, dir, "/dev/null"));
    print_row("unpack", run_child({tool, path, "unpack", dir + "/run"}, dir, out));
    std::filesystem::remove_all(dir + "/run");
    if (!keep) std::filesystem::remove(path);
    std::fflush(stdout);
  }

  // Images whose entries each take most of what earlier entries took:
  // 2,000 files 128 bytes apart in one run of 256 KiB, each to its end;
  // 2,000 sections of one module the same; eight modules that claim 58,853
  // sections over a table of one. The bytes that extract and unpack write
  // (files and output), against the BIN file's (target: 200 times, plus
  // 2 MiB), and verify.
  void inside() {
    RomBuilder files = files_inside_one_run(2000, 0x80800000);
    RomBuilder sections = sections_inside_one_run(2000, 0x80800000);
    RomBuilder counts;
    for (uint32_t m = 0; m < 8; ++m) {
      RomModule& wide = counts.add_module("w" + std::to_string(m).append(".dll"));
      wide.e32.section_count = 58853;
      wide.sections.resize(1);
    }
    const std::string tool = XIPSAW_EXECUTABLE;
    const std::string out = dir + "/output.txt";
    for (auto& [name, rom] : {std::pair<const char*, RomBuilder&>{"2,000 files inside one run", files},
                              {"2,000 sections inside one run", sections},
                              {"8 modules claiming 58,853 sections", counts}}) {
      const std::string path = dir + "/inside.bin";
      rom.layout().write(path);
      const double size = static_cast<double>(std::filesystem::file_size(path));
      std::printf("inside: %s (%.1f KiB):\n", name, size / 1024);
      print_row("cat (anchor)", run_child({"/bin/cat", path}, dir, "/dev/null"));
      const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
          {"extract", {tool, path, "extract"}},
          {"unpack", {tool, path, "unpack", dir + "/run"}},
          {"verify", {tool, path, "verify"}}};
      for (const auto& [command, args] : commands) {
        const Figures f = run_child(args, dir, out);
        const double written = static_cast<double>(bytes_below(dir + "/inside") + bytes_below(dir + "/run") +
                                                   std::filesystem::file_size(out));
        char what[96];
        std::snprintf(what, sizeof what, "%s: %.1f KiB written, %.1fx", command.c_str(), written / 1024,
                      written / size);
        print_row(what, f);
        std::filesystem::remove_all(dir + "/inside");
        std::filesystem::remove_all(dir + "/run");
      }
      if (!keep) std::filesystem::remove(path);
    }
    std::fflush(stdout);
  }

  static uint64_t bytes_below(const std::string& path) {
    uint64_t total = 0;
    if (std::filesystem::exists(path))
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
  }

  void large() {
    bench::LargeImage image = bench::large_image();
    const std::string path = dir + "/large.bin";
    image.bin.write(path);
    measure("large: 4,000 files and 200 modules (" + mib(path) + ")", path, "file3995.txt");
  }

  static std::string mib(const std::string& path) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f MiB",
                  static_cast<double>(std::filesystem::file_size(path)) / (1 << 20));
    return text;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--spawn") return bench::spawn(argc, argv);
  Bench bench;
  bench.dir = argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "xipsaw-bench-hostile").string();
  std::filesystem::remove_all(bench.dir);
  std::filesystem::create_directories(bench.dir);
  const std::vector<std::pair<std::string, std::function<void()>>> images = {
      {"names", [&] { bench.names(); }},
      {"overlap", [&] { bench.overlap(); }},
      {"sparse", [&] { bench.sparse(); }},
      {"large", [&] { bench.large(); }},
      {"shared", [&] { bench.shared(); }},
      {"inside", [&] { bench.inside(); }},
      {"heavy", [&] { bench.heavy(); }},
      {"exports", [&] { bench.exports(); }}};
  std::vector<std::string> chosen(argv + std::min(argc, 2), argv + argc);
  bench.keep = std::find(chosen.begin(), chosen.end(), "--keep") != chosen.end();
  for (const auto& [name, run] : images)
    if (chosen.size() == size_t{bench.keep} || std::find(chosen.begin(), chosen.end(), name) != chosen.end()) run();
  if (!bench.keep) std::filesystem::remove_all(bench.dir);
  return 0;
}
