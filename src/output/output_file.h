// One file being written: an extracted file below the output directory, or
// a converted image that takes the place of its path only once it is
// complete. Every failure is noticed, and a file that could not be written
// whole is removed, so that a full disk is never taken for success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output/protected_files.h"

namespace xipsaw {

enum class Replacing {
  created,       // the file is open, beside path
  is_protected,  // path is the file the run reads (or a link to it), or its journal's path
  failed,        // no file could be created beside path
};

// Writes are gathered in a small buffer and go straight to the system; the
// first failure is kept, and nothing is written after it.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The output path as messages show it (see shown()).
  const std::string& shown_path() const { return shown_path_; }

  void write(const void* bytes, size_t count);
  void write_zeros(uint64_t count);
  // Writes at a position already written, without moving the end where
  // write() goes on.
  void write_at(uint64_t offset, const void* bytes, size_t count);
  // Reads back count bytes written at offset; false when the file does not
  // hold them all.
  bool read_at(uint64_t offset, void* bytes, size_t count);
  bool failed() const { return failed_; }

  // The modification time the file gets when it is closed, as a Windows
  // FILETIME (100-ns intervals since 1601). 0, or a time that the system
  // cannot represent, leaves the time of the writing.
  void set_time(uint64_t filetime) { time_ = filetime; }

  // Closes the file. True when every write and the close itself succeeded;
  // otherwise the file is deleted, so that no partial file is left behind.
  // A replacing file (see create_replacing) is first flushed to the disk,
  // then renamed over its path.
  bool close();
  // Closes and deletes the file, whatever was written.
  void discard();

 private:
  friend class OutputDirectory;
  friend Replacing create_replacing(const std::string& path, const ProtectedFiles& protect, OutputFile& file);
  void flush_pending();
  void apply_time();
  bool rename_into_place();
  void release();  // closes what is still open, keeping the file
#if defined(_WIN32)
  void* native() const { return handle_; }
#else
  int native() const { return fd_; }
#endif

  std::string shown_path_;
  bool failed_ = false;
  uint64_t time_ = 0;
#if defined(_WIN32)
  void* handle_ = nullptr;              // the file's HANDLE while open
  std::vector<void*> directories_;      // held so that none can be swapped
  std::wstring path_;                   // the file's path; a replacing file's when complete
  std::wstring temporary_;              // a replacing file's own path while it is written
#else
  int fd_ = -1;
  int parent_ = -1;          // the directory that holds the file
  bool owns_parent_ = false; // parent_ is not the output directory's own
  std::string leaf_;         // the file's name in parent_
  std::string replaces_;     // for a replacing file, the name it takes in parent_ when complete
#endif
  static constexpr size_t kPendingSize = 32 * 1024;
  size_t pending_size_ = 0;
  uint8_t pending_[kPendingSize];
};

// Opens a new file beside path, for writing what close() then renames over
// path, so that path never holds a half-written file, whatever stops the
// run. Nothing on disk changes unless it is created. Sets file.shown_path()
// to path in any case.
Replacing create_replacing(const std::string& path, const ProtectedFiles& protect, OutputFile& file);

}  // namespace xipsaw
