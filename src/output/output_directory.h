// Extracted files: "%s/%s" paths below the output directory, opened only as
// plain files that really lie inside it, and written with every failure
// noticed, so that neither a hostile image nor a hostile output directory
// can make the tool write anywhere else, and a full disk is never taken for
// success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xipsaw {

// True when name, taken from the image, stays below the output directory:
// no absolute path, no drive letter, no ".." component. On Windows also no
// backslash, no ':', and no component that is a device name (CON, NUL, COM1,
// lpt2.txt, ...) or ends in '.' or ' '.
bool name_stays_below(const std::string& name);

// The output path of an entry. An empty output directory (a BIN file
// argument that begins with '.') puts the files in the current directory
// rather than at the file system's root.
std::string output_path(const std::string& output_directory, const std::string& name);

// One extracted file being written. Writes are gathered in a small buffer
// and go straight to the system; the first failure is kept, and nothing is
// written after it.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The output path, as printed in messages.
  const std::string& path() const { return path_; }

  void write(const void* bytes, size_t count);
  void write_zeros(size_t count);
  // Writes at a position already written, without moving the end where
  // write() goes on.
  void write_at(uint64_t offset, const void* bytes, size_t count);
  bool failed() const { return failed_; }

  // Closes the file. True when every write and the close itself succeeded;
  // otherwise the file is deleted, so that no partial file is left behind.
  bool close();

 private:
  friend class OutputDirectory;
  void flush_pending();
  void release();  // closes what is still open, keeping the file
#if defined(_WIN32)
  void* native() const { return handle_; }
#else
  int native() const { return fd_; }
#endif

  std::string path_;
  bool failed_ = false;
#if defined(_WIN32)
  void* handle_ = nullptr;              // the file's HANDLE while open
  std::vector<void*> directories_;      // held so that none can be swapped
#else
  int fd_ = -1;
  int parent_ = -1;          // the directory that holds the file
  bool owns_parent_ = false; // parent_ is not the output directory's own
  std::string leaf_;         // the file's name in parent_
#endif
  static constexpr size_t kPendingSize = 32 * 1024;
  size_t pending_size_ = 0;
  uint8_t pending_[kPendingSize];
};

// What tells one file apart from every other: its volume (device) and its
// number there (inode, file index), when they could be learnt.
struct FileIdentity {
  bool known = false;
  uint64_t volume = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity& other) const {
    return known && other.known && volume == other.volume && file == other.file;
  }
};

// The output directory of a run. It is created (one level) and opened once,
// at the first extraction; every output file is then opened relative to it,
// walking the name's directories without following links. The directory
// itself may be a link the user made; only what lies below it is judged.
class OutputDirectory {
 public:
  OutputDirectory() = default;
  ~OutputDirectory();
  OutputDirectory(const OutputDirectory&) = delete;
  OutputDirectory& operator=(const OutputDirectory&) = delete;

  void set_name(std::string name) { name_ = std::move(name); }
  const std::string& name() const { return name_; }

  // Names the files that no output may take the place of: the BIN file,
  // open as bin_descriptor, and the journal of an update to it, which the
  // next run would play back into the BIN file.
  void protect(int bin_descriptor, std::string journal_path);

  // Puts the entries opened from now on into the subdirectory of that name
  // (one level, below the directory), or back into the directory itself
  // with an empty name.
  void set_subdirectory(std::string name);

  // Creates the directory, failure ignored, and opens it, then creates the
  // subdirectory, if any, the same way. Does nothing once both are there; a
  // directory that cannot be had shows as the failure of every open.
  void prepare();

  // Opens the entry name below the directory as a plain file for writing,
  // created, or truncated once it is known to be safe to write. Sets
  // file.path() in any case. False, with nothing on disk changed, when the
  // name leads outside the directory or holds a control byte, when a link,
  // a FIFO, a device or anything but a plain file (or, on the way, a plain
  // directory) is met, when the file is the BIN file or the journal's path,
  // or when it cannot be opened.
  bool open(const std::string& name, OutputFile& file);

 private:
  void learn_protected();
  // Whether a file of this name would be the journal if it lay in the
  // journal's directory.
  bool has_journal_name(const std::string& leaf) const;

  std::string name_;
  std::string subdirectory_;
  bool subdirectory_made_ = false;
  int bin_descriptor_ = -1;
  std::string journal_path_;
  FileIdentity bin_;
  FileIdentity journal_directory_;
  std::string journal_leaf_;
#if defined(_WIN32)
  void* handle_ = nullptr;  // the directory's HANDLE once prepared
#else
  int fd_ = -1;
#endif
};

}  // namespace xipsaw
