// Running the tool in-process on test images, in a temporary directory of
// the test's own.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "image_builder.h"
#include "platform.h"

namespace testkit {

// Directories holding a compression library each: the real codec, a small fake
// codec with a format of its own, and fakes that lack an entry point.
std::string real_codec_dir();
std::string fake_codec_dir();
std::string codec_without_decompress_dir();
std::string codec_without_compress_dir();
// The built xipsaw executable, beside the real codec.
std::string xipsaw_executable();

// A fresh directory below scratch_root() (or below base), removed with
// everything in it when the object goes away. Its path holds no '.', so a BIN
// file "nk.bin" in it gets the output directory "<dir>/nk".
class TempDir {
 public:
  explicit TempDir(const std::string& base = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ToolResult {
  std::string output;  // everything the run printed
  bool waited = false; // whether the final wait was reached
  int exit_code = -1;
};

// A directory in memory where the system has one (so that the many flushes
// to the disk of a test that updates again and again cost nothing), else
// empty, for scratch_root().
std::string memory_directory();

// Runs "xipsaw <args...>" in-process; argument 0 is "xipsaw". The final wait
// is recorded, not waited.
ToolResult run_tool(const std::vector<std::string>& args, const std::string& library_dir = real_codec_dir());
// The same with the output going to out; returns whether the wait was reached.
bool run_tool_to(std::FILE* out, const std::vector<std::string>& args, const std::string& library_dir,
                 int* exit_code = nullptr);

// What write puts into a stream: a file in a directory of its own, opened in
// binary mode (never tmpfile(), which on Windows writes to the drive's root).
std::string captured_output(const std::function<void(std::FILE*)>& write);


Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
bool file_exists(const std::string& path);

// True when every record of the BIN file at path has the checksum of its data.
bool all_checksums_correct(const std::string& path);

}  // namespace testkit
