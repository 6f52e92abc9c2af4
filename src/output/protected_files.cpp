#include "output/protected_files.h"

#if defined(_WIN32)
#include <io.h>
#endif

#include "common/native_path.h"

namespace xipsaw {

std::string directory_of(const std::string& path, size_t& leaf_start) {
#if defined(_WIN32)
  const size_t slash = path.find_last_of("/\\:");
#else
  const size_t slash = path.find_last_of('/');
#endif
  leaf_start = slash == std::string::npos ? 0 : slash + 1;
  if (slash == std::string::npos) return ".";
  std::string directory = path.substr(0, slash + 1);
  if (directory.back() == ':') directory += '.';  // "C:name": the drive's current directory
  return directory;
}

bool ProtectedFiles::is_journal(const FileIdentity& directory, const std::string& leaf) const {
  return same_file_name(leaf, journal_leaf) && (!journal_directory.known || directory == journal_directory);
}

#if defined(_WIN32)

FileIdentity identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
  return {true, info.dwVolumeSerialNumber, static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

HANDLE open_directory(const std::string& path, DWORD share, bool follow) {
  return CreateFileW(native_path(path).c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

void ProtectedFiles::learn() {
  BY_HANDLE_FILE_INFORMATION info;
  if (bin_descriptor >= 0) bin = identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(bin_descriptor)), info);
  size_t leaf_start = 0;
  HANDLE directory = open_directory(directory_of(journal_path, leaf_start), kShareAll, true);
  journal_directory = identity_of(directory, info);
  if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
  journal_leaf = journal_path.substr(leaf_start);
}

#else

FileIdentity identity_of(const struct stat& st) {
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileIdentity identity_of(int fd) {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 ? identity_of(st) : FileIdentity{};
}

void ProtectedFiles::learn() {
  bin = identity_of(bin_descriptor);
  size_t leaf_start = 0;
  struct stat st;
  if (stat(directory_of(journal_path, leaf_start).c_str(), &st) == 0) journal_directory = identity_of(st);
  journal_leaf = journal_path.substr(leaf_start);
}

#endif

}  // namespace xipsaw
