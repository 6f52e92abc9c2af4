#include "output/output_directory.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "output/messages.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace xipsaw {

namespace {

#if defined(_WIN32)
// A path component that Windows would not take as the file it names: a
// device (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, also with an extension
// and in any case; Windows also counts the superscript digits of its code
// page), or a name ending in '.' or ' ', which Windows strips, so that "x."
// would write x and ".. " would climb out.
bool windows_alters(std::string_view component) {
  if (component == ".") return false;
  if (!component.empty() && (component.back() == '.' || component.back() == ' ')) return true;
  std::string_view stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);  // "nul .txt" is NUL too
  std::string upper(stem);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
  const char digit = upper.size() == 4 ? upper[3] : '\0';
  const bool port_digit = (digit >= '1' && digit <= '9') || digit == '\xB9' || digit == '\xB2' || digit == '\xB3';
  return port_digit && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0);
}
#endif

bool component_stays_below(std::string_view component) {
#if defined(_WIN32)
  if (windows_alters(component)) return false;
#endif
  return component != "..";
}

}  // namespace

bool name_stays_below(const std::string& name) {
#if defined(_WIN32)
  // A backslash separates components, and ':' names a drive or, after a
  // file name, an alternate data stream of that file.
  if (name.find_first_of("\\:") != std::string::npos) return false;
#endif
  if (!name.empty() && name[0] == '/') return false;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
    return false;
  const std::string_view rest(name);
  size_t start = 0;
  for (;;) {
    const size_t slash = rest.find('/', start);
    if (!component_stays_below(rest.substr(start, slash - start))) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::string output_path(const std::string& output_directory, const std::string& name) {
  return (output_directory.empty() ? std::string(".") : output_directory) + "/" + name;
}

namespace {

// Splits an entry name into the directories it passes through and the
// file's own name. Empty and "." components name no directory of their own
// and are skipped. False when there is no file name: an empty name, or one
// that ends in '/' or "/.".
bool split_name(const std::string& name, std::vector<std::string>& directories, std::string& leaf) {
  size_t start = 0;
  for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string part = name.substr(start, slash - start);
    if (!part.empty() && part != ".") directories.push_back(std::move(part));
  }
  leaf = name.substr(start);
  return !leaf.empty() && leaf != ".";
}

// ---- The system's calls --------------------------------------------------

#if defined(_WIN32)

bool write_all(void* handle, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    DWORD done = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
    if (!WriteFile(static_cast<HANDLE>(handle), bytes, chunk, &done, nullptr) || done == 0) return false;
    bytes += done;
    count -= done;
  }
  return true;
}

bool write_all_at(void* handle, uint64_t offset, const uint8_t* bytes, size_t count) {
  LARGE_INTEGER zero{}, end{}, at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(static_cast<HANDLE>(handle), zero, &end, FILE_CURRENT)) return false;
  const bool ok = SetFilePointerEx(static_cast<HANDLE>(handle), at, nullptr, FILE_BEGIN) &&
                  write_all(handle, bytes, count);
  return SetFilePointerEx(static_cast<HANDLE>(handle), end, nullptr, FILE_BEGIN) && ok;
}

#else

bool write_all(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t done = ::write(fd, bytes, count);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<size_t>(done);
  }
  return true;
}

bool write_all_at(int fd, uint64_t offset, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t done = ::pwrite(fd, bytes, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

#endif

}  // namespace

// ---- Output files --------------------------------------------------------

OutputFile::~OutputFile() { release(); }

void OutputFile::write(const void* bytes, size_t count) {
  if (failed_ || count == 0) return;
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (pending_size_ + count > kPendingSize) {
    flush_pending();
    if (count >= kPendingSize) {
      if (!failed_) failed_ = !write_all(native(), p, count);
      return;
    }
  }
  std::memcpy(pending_ + pending_size_, p, count);
  pending_size_ += count;
}

void OutputFile::write_zeros(size_t count) {
  static constexpr uint8_t kZeros[4096] = {};
  for (size_t n; count > 0; count -= n) {
    n = std::min(count, sizeof kZeros);
    write(kZeros, n);
  }
}

void OutputFile::write_at(uint64_t offset, const void* bytes, size_t count) {
  flush_pending();
  if (!failed_ && count > 0) failed_ = !write_all_at(native(), offset, static_cast<const uint8_t*>(bytes), count);
}

void OutputFile::flush_pending() {
  if (pending_size_ != 0 && !failed_) failed_ = !write_all(native(), pending_, pending_size_);
  pending_size_ = 0;
}

#if defined(_WIN32)

bool OutputFile::close() {
  if (handle_ == nullptr) return false;
  flush_pending();
  FILE_DISPOSITION_INFO discard{TRUE};
  const bool discarded = failed_ && SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileDispositionInfo,
                                                               &discard, sizeof discard);
  const bool ok = CloseHandle(static_cast<HANDLE>(handle_)) && !failed_;
  handle_ = nullptr;
  // The directories on the way are still held, so the path still leads to
  // the file just closed (or to a link put in its place, which is what
  // gets deleted then).
  if (!ok && !discarded) DeleteFileA(path_.c_str());
  release();
  return ok;
}

void OutputFile::release() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  for (void* directory : directories_) CloseHandle(static_cast<HANDLE>(directory));
  directories_.clear();
}

#else

bool OutputFile::close() {
  if (fd_ < 0) return false;
  flush_pending();
  const bool ok = ::close(fd_) == 0 && !failed_;
  fd_ = -1;
  if (!ok) unlinkat(parent_, leaf_.c_str(), 0);
  release();
  return ok;
}

void OutputFile::release() {
  if (fd_ >= 0) ::close(fd_);
  if (owns_parent_) ::close(parent_);
  fd_ = parent_ = -1;
  owns_parent_ = false;
}

#endif

// ---- The output directory ------------------------------------------------

void OutputDirectory::set_subdirectory(std::string name) {
  subdirectory_ = std::move(name);
  subdirectory_made_ = false;
}

void OutputDirectory::protect(int bin_descriptor, std::string journal_path) {
  bin_descriptor_ = bin_descriptor;
  journal_path_ = std::move(journal_path);
}

bool OutputDirectory::has_journal_name(const std::string& leaf) const {
#if defined(_WIN32)
  // File names on Windows match without regard to case.
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return leaf.size() == journal_leaf_.size() && std::equal(leaf.begin(), leaf.end(), journal_leaf_.begin(),
                                                           [&](char a, char b) { return fold(a) == fold(b); });
#else
  return leaf == journal_leaf_;
#endif
}

namespace {

// The directory part of path, with its last separator; "." when it has
// none. leaf_start is where the file's own name begins.
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

}  // namespace

#if defined(_WIN32)

namespace {

FileIdentity identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
  return {true, info.dwVolumeSerialNumber, static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// A handle on a directory for reading its attributes, or
// INVALID_HANDLE_VALUE; with follow unset, a reparse point is opened itself.
HANDLE open_directory(const std::string& path, DWORD share, bool follow) {
  return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

OutputDirectory::~OutputDirectory() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

void OutputDirectory::learn_protected() {
  BY_HANDLE_FILE_INFORMATION info;
  if (bin_descriptor_ >= 0) bin_ = identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(bin_descriptor_)), info);
  size_t leaf_start = 0;
  HANDLE directory = open_directory(directory_of(journal_path_, leaf_start), kShareAll, true);
  journal_directory_ = identity_of(directory, info);
  if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
  journal_leaf_ = journal_path_.substr(leaf_start);
}

void OutputDirectory::prepare() {
  if (handle_ == nullptr) {
    if (!name_.empty()) CreateDirectoryA(name_.c_str(), nullptr);
    // The directory itself may be a link the user made: this open follows it.
    HANDLE directory = open_directory(name_.empty() ? "." : name_, kShareAll, true);
    BY_HANDLE_FILE_INFORMATION info;
    if (identity_of(directory, info).known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      handle_ = directory;
      learn_protected();
    } else if (directory != INVALID_HANDLE_VALUE) {
      CloseHandle(directory);
    }
  }
  // The subdirectory is created only; open() walks it as any directory of
  // an entry's name, refusing a reparse point there.
  if (handle_ != nullptr && !subdirectory_.empty() && !subdirectory_made_) {
    CreateDirectoryA(((name_.empty() ? std::string(".") : name_) + "/" + subdirectory_).c_str(), nullptr);
    subdirectory_made_ = true;
  }
}

bool OutputDirectory::open(const std::string& name, OutputFile& file) {
  const std::string entry = subdirectory_.empty() ? name : subdirectory_ + "/" + name;
  file.path_ = output_path(name_, entry);
  std::vector<std::string> directories;
  std::string leaf;
  if (handle_ == nullptr || !bin_.known || !name_stays_below(name) || has_control_bytes(name) ||
      !split_name(entry, directories, leaf))
    return false;

  // Each directory on the way must be a plain directory; each stays open,
  // without leave to delete or rename it, until the file is closed.
  std::string path = name_.empty() ? std::string(".") : name_;
  BY_HANDLE_FILE_INFORMATION info{};
  for (const std::string& directory : directories) {
    path += "/" + directory;
    HANDLE held = open_directory(path, FILE_SHARE_READ | FILE_SHARE_WRITE, false);
    if (held == INVALID_HANDLE_VALUE) return false;
    file.directories_.push_back(held);
    if (!identity_of(held, info).known || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return false;
  }
  HANDLE parent = file.directories_.empty() ? static_cast<HANDLE>(handle_) : file.directories_.back();
  if (has_journal_name(leaf) && (!journal_directory_.known || identity_of(parent, info) == journal_directory_))
    return false;

  path += "/" + leaf;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file.handle_ = handle;
  // A file with other names (hard links) may be a file outside the
  // directory that someone linked in: it is not ours to overwrite.
  const FileIdentity identity = identity_of(handle, info);
  const bool plain = GetFileType(handle) == FILE_TYPE_DISK && identity.known &&
                     !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                     info.nNumberOfLinks == 1;
  // Truncated only now that it is known to be a plain file of our own.
  if (!plain || identity == bin_ ||
      ((info.nFileSizeHigh | info.nFileSizeLow) != 0 && !SetEndOfFile(handle)))
    return false;
  return true;
}

#else

namespace {

FileIdentity identity_of(const struct stat& st) {
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileIdentity identity_of(int fd) {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 ? identity_of(st) : FileIdentity{};
}

}  // namespace

OutputDirectory::~OutputDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputDirectory::learn_protected() {
  bin_ = identity_of(bin_descriptor_);
  size_t leaf_start = 0;
  struct stat st;
  if (stat(directory_of(journal_path_, leaf_start).c_str(), &st) == 0) journal_directory_ = identity_of(st);
  journal_leaf_ = journal_path_.substr(leaf_start);
}

void OutputDirectory::prepare() {
  if (fd_ < 0) {
    if (!name_.empty()) mkdir(name_.c_str(), 0777);
    // The directory itself may be a link the user made: this open follows it.
    fd_ = ::open(name_.empty() ? "." : name_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) learn_protected();
  }
  // The subdirectory is created only; open() walks it as any directory of
  // an entry's name, refusing a link there.
  if (fd_ >= 0 && !subdirectory_.empty() && !subdirectory_made_) {
    mkdirat(fd_, subdirectory_.c_str(), 0777);
    subdirectory_made_ = true;
  }
}

bool OutputDirectory::open(const std::string& name, OutputFile& file) {
  const std::string entry = subdirectory_.empty() ? name : subdirectory_ + "/" + name;
  file.path_ = output_path(name_, entry);
  std::vector<std::string> directories;
  if (fd_ < 0 || !bin_.known || !name_stays_below(name) || has_control_bytes(name) ||
      !split_name(entry, directories, file.leaf_))
    return false;

  // Each directory on the way must be a plain directory, not a link to one.
  file.parent_ = fd_;
  for (const std::string& directory : directories) {
    const int next = openat(file.parent_, directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (file.owns_parent_) ::close(file.parent_);
    file.parent_ = next;
    file.owns_parent_ = next >= 0;
    if (next < 0) return false;
  }
  if (has_journal_name(file.leaf_) &&
      (!journal_directory_.known || identity_of(file.parent_) == journal_directory_))
    return false;

  // A link at the file fails to open; a FIFO without a reader fails at
  // once, and with one is refused below, as is any other file that is not
  // plain, and a file with other names (hard links), which may be a file
  // outside the directory that someone linked in. Nothing is truncated
  // before those checks.
  file.fd_ = openat(file.parent_, file.leaf_.c_str(),
                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  struct stat st;
  if (file.fd_ < 0 || fstat(file.fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      identity_of(st) == bin_ || fcntl(file.fd_, F_SETFL, 0) != 0 || (st.st_size != 0 && ftruncate(file.fd_, 0) != 0))
    return false;
  return true;
}

#endif

}  // namespace xipsaw
