#include "tool_run.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "common/native_path.h"
#include "driver/driver.h"
#include "platform.h"

namespace testkit {

std::string real_codec_dir() { return XIPSAW_REAL_CODEC_DIR; }
std::string fake_codec_dir() { return XIPSAW_FAKE_CODEC_DIR "/full"; }
std::string codec_without_decompress_dir() { return XIPSAW_FAKE_CODEC_DIR "/nodecompress"; }
std::string codec_without_compress_dir() { return XIPSAW_FAKE_CODEC_DIR "/nocompress"; }
std::string xipsaw_executable() { return XIPSAW_EXECUTABLE; }

TempDir::TempDir(const std::string& base) {
  const std::string root = base.empty() ? scratch_root() : base;
  std::filesystem::create_directories(fs_path(root));
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = root + "/xipsaw-test-" + std::to_string(random()) + std::to_string(random());
    if (std::filesystem::create_directory(fs_path(path_))) return;  // a name nobody had taken
  }
  throw std::runtime_error("cannot create a temporary directory in " + root);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(fs_path(path_), ignored);
}

std::string memory_directory() {
  std::error_code ec;
  return !kWindows && std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "";
}

std::string captured_output(const std::function<void(std::FILE*)>& write) {
  TempDir dir;
  const std::string path = dir / "output";
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("cannot write " + path);
  write(out);
  std::fclose(out);
  const Bytes text = read_file(path);
  return std::string(text.begin(), text.end());
}

bool run_tool_to(std::FILE* out, const std::vector<std::string>& args, const std::string& library_dir,
                 int* exit_code) {
  std::vector<const char*> argv{"xipsaw"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  bool waited = false;
  xipsaw::RunOptions options;
  options.library_dir = library_dir;
  options.wait = [&waited](unsigned ms) { waited = ms == xipsaw::kFinalWaitMilliseconds; };
  options.out = out;
  const int status = xipsaw::run_command_line(static_cast<int>(argv.size()), argv.data(), options);
  if (exit_code != nullptr) *exit_code = status;
  return waited;
}

ToolResult run_tool(const std::vector<std::string>& args, const std::string& library_dir) {
  ToolResult result;
  result.output = captured_output(
      [&](std::FILE* out) { result.waited = run_tool_to(out, args, library_dir, &result.exit_code); });
  return result;
}

Bytes read_file(const std::string& path) {
  std::FILE* f = xipsaw::open_file(path, "rb");
  if (f == nullptr) throw std::runtime_error("cannot read " + path);
  Bytes data;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
  std::fclose(f);
  return data;
}

void write_file(const std::string& path, const Bytes& data) {
  std::FILE* f = xipsaw::open_file(path, "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

bool file_exists(const std::string& path) { return std::filesystem::exists(fs_path(path)); }

bool all_checksums_correct(const std::string& path) {
  Bytes bin = read_file(path);
  size_t at = 15;
  while (at + 12 <= bin.size()) {
    uint32_t address = get_u32(bin, at);
    uint32_t length = get_u32(bin, at + 4);
    uint32_t checksum = get_u32(bin, at + 8);
    if (address == 0 && checksum == 0) return true;  // the end record
    if (at + 12 + length > bin.size()) return false;
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum += bin[at + 12 + i];
    if (sum != checksum) return false;
    at += 12 + length;
  }
  return true;
}

}  // namespace testkit
