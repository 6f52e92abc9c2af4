// Times list, extract and update on a large generated image: 4000 files of
// 1 to 32 KiB, one in five compressed, in records of 64 KiB, and 200
// modules of four sections. Then sets the CPU time (user + system) of
// extract beside that of `cp -r` copying extract's own output, and verify
// and unpack beside extract, on the same image; then extract beside cp, and
// convert raw and bin beside cp of the BIN file, on one without compressed
// data (about 70 MiB). Prints the figures; asserts nothing.
//   bench_image [scratch directory, best on tmpfs; default /dev/shm]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "large_image.h"

using namespace testkit;

namespace {

// Writes the image to path; every fifth file compressed when packed is set.
void write_image(const std::string& path, bool packed) {
  bench::LargeImage image = bench::large_image(packed);
  image.bin.write(path);
  std::printf("image: %zu modules, %zu files, %s, %.1f MiB stored, %zu records\n", image.rom.modules.size(),
              image.rom.files.size(), packed ? "one in five compressed" : "none compressed",
              static_cast<double>(image.stored) / (1 << 20), image.bin.records().size());
}

xipsaw::RunOptions quiet_options() {
  xipsaw::RunOptions options;
  options.out = std::fopen("/dev/null", "w");
  options.library_dir = XIPSAW_CODEC_DIR;
  return options;
}

int run_tool(const std::vector<std::string>& args, const xipsaw::RunOptions& options) {
  std::vector<const char*> argv{"xipsaw"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return xipsaw::run_command_line(static_cast<int>(argv.size()), argv.data(), options);
}

double wall_seconds(const std::vector<std::string>& args) {
  xipsaw::RunOptions options = quiet_options();
  auto start = std::chrono::steady_clock::now();
  run_tool(args, options);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(options.out);
  return seconds;
}

// User + system CPU seconds of a child process that runs body and exits.
double child_cpu_seconds(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// extract runs in a child of its own, the tool called as the executable
// calls it (without the final wait); cp is executed. Each is timed into a
// fresh directory, five times, and the median taken.
void extract_against_copy(const std::string& dir, const std::string& bin) {
  const std::string output = dir + "/nk";
  const std::string copy = dir + "/copy";
  std::vector<double> extract, cp;
  for (int round = 0; round < 5; ++round) {
    std::filesystem::remove_all(output);
    extract.push_back(child_cpu_seconds([&] {
      xipsaw::RunOptions options = quiet_options();
      run_tool({bin, "extract"}, options);
    }));
    std::filesystem::remove_all(copy);
    cp.push_back(child_cpu_seconds([&] {
      execlp("cp", "cp", "-r", output.c_str(), copy.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }));
  }
  std::sort(extract.begin(), extract.end());
  std::sort(cp.begin(), cp.end());
  std::printf("  CPU, median of 5: extract %.3f s, cp -r of its output %.3f s: %.2f times\n", extract[2], cp[2],
              extract[2] / cp[2]);
  std::filesystem::remove_all(copy);
}

// A command beside extract, each in a child of its own, five times each in
// turn (each into a fresh directory), the medians of their CPU times.
void against_extract(const std::string& dir, const std::string& bin, const std::string& command, double target) {
  std::vector<double> other, extract;
  for (int round = 0; round < 5; ++round) {
    std::filesystem::remove_all(dir + "/nk");
    other.push_back(child_cpu_seconds([&] {
      xipsaw::RunOptions options = quiet_options();
      run_tool({bin, command}, options);
    }));
    std::filesystem::remove_all(dir + "/nk");
    extract.push_back(child_cpu_seconds([&] {
      xipsaw::RunOptions options = quiet_options();
      run_tool({bin, "extract"}, options);
    }));
  }
  std::sort(other.begin(), other.end());
  std::sort(extract.begin(), extract.end());
  std::printf("  CPU, median of 5: %s %.3f s, extract %.3f s: %.2f times (target <= %.1f)\n", command.c_str(),
              other[2], extract[2], other[2] / extract[2], target);
}

// convert raw and convert bin of the BIN file beside cp of it, each in a
// child of its own, five times each, the medians of their CPU times.
void convert_against_copy(const std::string& dir, const std::string& bin) {
  const std::string out = dir + "/converted";
  std::vector<double> raw, as_bin, cp;
  for (int round = 0; round < 5; ++round) {
    for (auto [form, times] : {std::pair{"raw", &raw}, std::pair{"bin", &as_bin}})
      times->push_back(child_cpu_seconds([&] {
        xipsaw::RunOptions options = quiet_options();
        run_tool({bin, "convert", form, out}, options);
      }));
    cp.push_back(child_cpu_seconds([&] {
      execlp("cp", "cp", bin.c_str(), out.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }));
  }
  for (auto* times : {&raw, &as_bin, &cp}) std::sort(times->begin(), times->end());
  std::printf("  CPU, median of 5: convert raw %.3f s, convert bin %.3f s, cp of the %.1f MiB BIN file %.3f s: "
              "%.2f and %.2f times (target <= 2)\n",
              raw[2], as_bin[2], static_cast<double>(std::filesystem::file_size(bin)) / (1 << 20), cp[2],
              raw[2] / cp[2], as_bin[2] / cp[2]);
  std::filesystem::remove(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : std::string("/dev/shm/xipsaw-bench");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/nk.bin";

  write_image(path, true);
  std::printf("  list:    %8.3f s\n", wall_seconds({path, "list"}));
  std::printf("  extract: %8.3f s\n", wall_seconds({path, "extract"}));
  std::printf("  extract one file by name: %8.3f s\n", wall_seconds({path, "extract", "file3999.txt"}));
  extract_against_copy(dir, path);
  against_extract(dir, path, "verify", 1.5);
  against_extract(dir, path, "unpack", 1.2);
  Bytes update(20000, 'u');
  std::FILE* f = std::fopen((dir + "/new.txt").c_str(), "wb");
  std::fwrite(update.data(), 1, update.size(), f);
  std::fclose(f);
  std::printf("  update:  %8.3f s\n", wall_seconds({path, "update", "file3995.txt", dir + "/new.txt"}));

  std::filesystem::remove_all(dir + "/nk");
  write_image(path, false);
  extract_against_copy(dir, path);
  convert_against_copy(dir, path);
  std::filesystem::remove_all(dir);
  return 0;
}
