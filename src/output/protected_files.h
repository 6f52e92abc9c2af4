// The files that no output may take the place of, and what tells one file
// apart from another: shared by the extracted files below the output
// directory and by the converted images written beside their paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace xipsaw {

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

// The file the run reads, open as bin_descriptor, and the journal of an
// update to it, which the next run would play back into that file. Their
// identities are learnt once, when the first output is opened.
struct ProtectedFiles {
  int bin_descriptor = -1;
  std::string journal_path;
  FileIdentity bin;
  FileIdentity journal_directory;
  std::string journal_leaf;

  void learn();
  // Whether a file named leaf in the directory of that identity would be
  // the journal. A directory whose identity is unknown may be the
  // journal's.
  bool is_journal(const FileIdentity& directory, const std::string& leaf) const;
};

// The directory part of path, with its last separator; "." when it has
// none. leaf_start is where the file's own name begins.
std::string directory_of(const std::string& path, size_t& leaf_start);

#if defined(_WIN32)
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
FileIdentity identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info);
// A handle on a directory for reading its attributes, or
// INVALID_HANDLE_VALUE; with follow unset, a reparse point is opened itself.
HANDLE open_directory(const std::string& path, DWORD share, bool follow);
#else
FileIdentity identity_of(const struct stat& st);
FileIdentity identity_of(int fd);
#endif

}  // namespace xipsaw
