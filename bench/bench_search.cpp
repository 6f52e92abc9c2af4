// Time and peak memory of the search for images in files that hold none:
// `xipsaw FILE list` run as a child process of the real executable, beside
// `cat FILE` as the anchor, in turn, each after a warm-up run. Prints the
// figures; asserts nothing.
//   bench_search [scratch directory] [--keep]
// Files: zeros (a sparse 1 GiB file), random (256 MiB from a fixed seed),
// ecec (64 MiB of "ECEC" words, a candidate at every 4-byte offset) and
// decoys (64 MiB of zeros with "ECEC" and a random ROM header pointer at
// 0x40 of every 4 KiB page).
//
// Per file: the median wall seconds of list and of cat, the median of the
// list/cat ratios taken run by run (the runs alternate, so a drift in the
// machine's speed touches both alike), and the peak resident memory of each
// (the largest of its runs); the target of each figure is printed beside it.
// The tool runs with XIPSAW_NO_WAIT=1, so it ends as soon as it is done.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "measured_child.h"

namespace {

constexpr int kRuns = 5;
constexpr size_t kMiB = size_t{1} << 20;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Writes path in 1 MiB chunks, each filled by fill(chunk, its offset).
void write_chunks(const std::string& path, size_t size, const std::function<void(std::vector<uint8_t>&, size_t)>& fill) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::vector<uint8_t> chunk(kMiB);
  for (size_t at = 0; f != nullptr && at < size; at += kMiB) {
    fill(chunk, at);
    std::fwrite(chunk.data(), 1, chunk.size(), f);
  }
  if (f != nullptr) std::fclose(f);
}

void make_zeros(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f != nullptr && ftruncate(fileno(f), off_t{1} << 30) != 0) std::perror(path.c_str());
  if (f != nullptr) std::fclose(f);
}

void make_random(const std::string& path) {
  std::mt19937_64 rng(1);
  write_chunks(path, 256 * kMiB, [&](std::vector<uint8_t>& chunk, size_t) {
    for (size_t i = 0; i < chunk.size(); i += 8) {
      const uint64_t word = rng();
      std::memcpy(chunk.data() + i, &word, 8);
    }
  });
}

void make_ecec(const std::string& path) {
  write_chunks(path, 64 * kMiB, [](std::vector<uint8_t>& chunk, size_t) {
    for (size_t i = 0; i < chunk.size(); i += 4) std::memcpy(chunk.data() + i, "ECEC", 4);
  });
}

void make_decoys(const std::string& path) {
  std::mt19937 rng(2);
  write_chunks(path, 64 * kMiB, [&](std::vector<uint8_t>& chunk, size_t) {
    std::fill(chunk.begin(), chunk.end(), 0);
    for (size_t page = 0; page < chunk.size(); page += 4096) {
      const uint32_t pointer = static_cast<uint32_t>(rng());
      std::memcpy(chunk.data() + page + 0x40, "ECEC", 4);
      for (int i = 0; i < 4; ++i) chunk[page + 0x44 + i] = static_cast<uint8_t>(pointer >> (8 * i));
    }
  });
}

struct Sample {
  std::vector<double> list, cat, ratio;
  double list_peak = 0, cat_peak = 0;
  int failed = 0;  // list or cat runs that did not end with exit status 0
};

void measure(const std::string& dir, const std::string& name, const std::string& path, double target) {
  const std::string out = dir + "/list.txt";
  const std::vector<std::string> list = {XIPSAW_EXECUTABLE, path, "list"};
  const std::vector<std::string> cat = {"/bin/cat", path};
  bench::run_child(list, dir, out);  // warm-up: the file is in the page cache from here on
  bench::run_child(cat, dir, "/dev/null");
  Sample s;
  for (int i = 0; i < kRuns; ++i) {
    const bench::Figures l = bench::run_child(list, dir, out);
    const bench::Figures c = bench::run_child(cat, dir, "/dev/null");
    s.list.push_back(l.wall);
    s.cat.push_back(c.wall);
    s.ratio.push_back(l.wall / c.wall);
    s.list_peak = std::max(s.list_peak, l.peak);
    s.cat_peak = std::max(s.cat_peak, c.peak);
    s.failed += !bench::failure(l.status).empty() + !bench::failure(c.status).empty();
  }
  const double size = static_cast<double>(std::filesystem::file_size(path)) / kMiB;
  std::printf("%-7s %5.0f MiB  list %6.3f s  cat %6.3f s  list/cat %5.2fx (target <= %2.0fx)  "
              "peak: list %5.1f MiB (target <= 64 MiB), cat %4.1f MiB  \"%s\"%s\n",
              name.c_str(), size, median(s.list), median(s.cat), median(s.ratio), target, s.list_peak, s.cat_peak,
              bench::last_line(out).c_str(), s.failed ? "  (runs that failed)" : "");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--spawn") return bench::spawn(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto keep_at = std::find(args.begin(), args.end(), "--keep");
  const bool keep = keep_at != args.end();
  if (keep) args.erase(keep_at);

  // A directory that is given stays, only the files are removed; a fresh one
  // goes with them.
  std::string dir;
  if (!args.empty()) {
    dir = args[0];
    std::filesystem::create_directories(dir);
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "xipsaw-bench-search-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  setenv("XIPSAW_NO_WAIT", "1", 1);

  struct File {
    const char* name;
    void (*make)(const std::string&);
    double target;  // list/cat
  };
  const File files[] = {{"zeros", make_zeros, 3}, {"random", make_random, 3}, {"ecec", make_ecec, 10},
                        {"decoys", make_decoys, 10}};
  std::printf("list of files that hold no image, beside cat; medians of %d runs each, in turn\n", kRuns);
  for (const File& f : files) {
    const std::string path = dir + "/" + f.name + ".img";
    f.make(path);
    measure(dir, f.name, path, f.target);
    if (!keep) std::filesystem::remove(path);
  }
  if (!keep) {
    std::filesystem::remove(dir + "/list.txt");
    if (args.empty()) std::filesystem::remove(dir);
  }
  return 0;
}
