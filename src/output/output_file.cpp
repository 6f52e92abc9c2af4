#include "output/output_file.h"

#include <algorithm>
#include <cstring>

#include "output/messages.h"

#if defined(_WIN32)
#include <process.h>
#include <windows.h>

#include "common/native_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#endif

namespace xipsaw {

namespace {

// A FILETIME (100-ns intervals since 1601) that the file can take: not 0,
// which stands for no time, and below 2^63, as Windows requires.
bool settable_time(uint64_t filetime) { return filetime != 0 && filetime < (uint64_t{1} << 63); }

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

// Runs transfer at offset, then puts the file pointer back where it was.
template <typename Transfer>
bool at_offset(void* handle, uint64_t offset, Transfer&& transfer) {
  LARGE_INTEGER zero{}, end{}, at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(static_cast<HANDLE>(handle), zero, &end, FILE_CURRENT)) return false;
  const bool ok = SetFilePointerEx(static_cast<HANDLE>(handle), at, nullptr, FILE_BEGIN) && transfer();
  return SetFilePointerEx(static_cast<HANDLE>(handle), end, nullptr, FILE_BEGIN) && ok;
}

bool write_all_at(void* handle, uint64_t offset, const uint8_t* bytes, size_t count) {
  return at_offset(handle, offset, [&] { return write_all(handle, bytes, count); });
}

bool read_all_at(void* handle, uint64_t offset, uint8_t* bytes, size_t count) {
  return at_offset(handle, offset, [&] {
    while (count > 0) {
      DWORD done = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
      if (!ReadFile(static_cast<HANDLE>(handle), bytes, chunk, &done, nullptr) || done == 0) return false;
      bytes += done;
      count -= done;
    }
    return true;
  });
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

// pwrite or pread of all count bytes at offset.
template <typename Bytes, typename Call>
bool transfer_all_at(int fd, uint64_t offset, Bytes* bytes, size_t count, Call&& call) {
  while (count > 0) {
    const ssize_t done = call(fd, bytes, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

bool write_all_at(int fd, uint64_t offset, const uint8_t* bytes, size_t count) {
  return transfer_all_at(fd, offset, bytes, count, ::pwrite);
}

bool read_all_at(int fd, uint64_t offset, uint8_t* bytes, size_t count) {
  return transfer_all_at(fd, offset, bytes, count, ::pread);
}

#endif

}  // namespace

// ---- Writing -------------------------------------------------------------

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

void OutputFile::write_zeros(uint64_t count) {
  static constexpr uint8_t kZeros[64 * 1024] = {};
  for (uint64_t n; count > 0 && !failed_; count -= n) {
    n = std::min<uint64_t>(count, sizeof kZeros);
    write(kZeros, static_cast<size_t>(n));
  }
}

void OutputFile::write_at(uint64_t offset, const void* bytes, size_t count) {
  flush_pending();
  if (!failed_ && count > 0) failed_ = !write_all_at(native(), offset, static_cast<const uint8_t*>(bytes), count);
}

bool OutputFile::read_at(uint64_t offset, void* bytes, size_t count) {
  flush_pending();
  return !failed_ && (count == 0 || read_all_at(native(), offset, static_cast<uint8_t*>(bytes), count));
}

void OutputFile::flush_pending() {
  if (pending_size_ != 0 && !failed_) failed_ = !write_all(native(), pending_, pending_size_);
  pending_size_ = 0;
}

void OutputFile::discard() {
  failed_ = true;
  close();
}

#if defined(_WIN32)

void OutputFile::apply_time() {
  if (!settable_time(time_)) return;
  FILETIME time{static_cast<DWORD>(time_), static_cast<DWORD>(time_ >> 32)};
  SetFileTime(static_cast<HANDLE>(handle_), nullptr, nullptr, &time);  // the content is whole either way
}

bool OutputFile::close() {
  if (handle_ == nullptr) return false;
  flush_pending();
  if (!failed_) apply_time();
  if (!temporary_.empty()) {
    const bool ok = !failed_ && FlushFileBuffers(static_cast<HANDLE>(handle_)) &&
                    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
    const bool renamed = ok && MoveFileExW(temporary_.c_str(), path_.c_str(),
                                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!renamed) DeleteFileW(temporary_.c_str());
    temporary_.clear();
    release();
    return renamed;
  }
  FILE_DISPOSITION_INFO discard{TRUE};
  const bool discarded = failed_ && SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileDispositionInfo,
                                                               &discard, sizeof discard);
  const bool ok = CloseHandle(static_cast<HANDLE>(handle_)) && !failed_;
  handle_ = nullptr;
  // The directories on the way are still held, so the path still leads to
  // the file just closed (or to a link put in its place, which is what
  // gets deleted then).
  if (!ok && !discarded) DeleteFileW(path_.c_str());
  release();
  return ok;
}

void OutputFile::release() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  if (!temporary_.empty()) DeleteFileW(temporary_.c_str());
  temporary_.clear();
  for (void* directory : directories_) CloseHandle(static_cast<HANDLE>(directory));
  directories_.clear();
}

Replacing create_replacing(const std::string& path, const ProtectedFiles& protect, OutputFile& file) {
  file.shown_path_ = shown(path);
  size_t leaf_start = 0;
  const std::string directory = directory_of(path, leaf_start);
  const std::string leaf = path.substr(leaf_start);
  if (leaf.empty() || leaf == "." || leaf == "..") return Replacing::failed;
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE held = open_directory(directory, kShareAll, true);
  const FileIdentity parent = identity_of(held, info);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  if (!parent.known) return Replacing::failed;
  // What path names now, through any link: the file being read may not be
  // replaced, nor may its journal's place be taken.
  HANDLE existing = open_directory(path, kShareAll, true);
  const FileIdentity present = identity_of(existing, info);
  if (existing != INVALID_HANDLE_VALUE) CloseHandle(existing);
  if (!protect.bin.known || present == protect.bin || protect.is_journal(parent, leaf)) return Replacing::is_protected;
  const std::string prefix = path.substr(0, leaf_start) + "." + leaf + ".xipsaw-" + std::to_string(_getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring temporary = native_path(prefix + std::to_string(attempt));
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.handle_ = handle;
      file.path_ = native_path(path);
      file.temporary_ = std::move(temporary);
      return Replacing::created;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  return Replacing::failed;
}

#else

void OutputFile::apply_time() {
  if (!settable_time(time_)) return;
  const auto t = static_cast<int64_t>(time_);
  const int64_t seconds = t / 10000000 - INT64_C(11644473600);
  if (static_cast<int64_t>(static_cast<time_t>(seconds)) != seconds) return;  // a 32-bit time_t
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), static_cast<long>(t % 10000000 * 100)}};
  futimens(fd_, times);  // the content is whole either way
}

bool OutputFile::close() {
  if (fd_ < 0) return false;
  flush_pending();
  if (!failed_) apply_time();
  // A replacing file reaches the disk before it takes its path's place.
  bool ok = !failed_ && (replaces_.empty() || fsync(fd_) == 0);
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok && !replaces_.empty()) {
    ok = renameat(parent_, leaf_.c_str(), parent_, replaces_.c_str()) == 0;
    if (ok) fsync(parent_);
  }
  if (!ok) unlinkat(parent_, leaf_.c_str(), 0);
  replaces_.clear();
  release();
  return ok;
}

void OutputFile::release() {
  if (fd_ >= 0) {
    ::close(fd_);
    if (!replaces_.empty()) unlinkat(parent_, leaf_.c_str(), 0);
  }
  if (owns_parent_) ::close(parent_);
  fd_ = parent_ = -1;
  owns_parent_ = false;
  replaces_.clear();
}

Replacing create_replacing(const std::string& path, const ProtectedFiles& protect, OutputFile& file) {
  file.shown_path_ = shown(path);
  size_t leaf_start = 0;
  const std::string directory = directory_of(path, leaf_start);
  const std::string own = path.substr(leaf_start);
  if (own.empty() || own == "." || own == "..") return Replacing::failed;
  const int parent = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return Replacing::failed;
  // What path names now, through any link: the file being read may not be
  // replaced, nor may its journal's place be taken.
  struct stat st;
  const FileIdentity existing = fstatat(parent, own.c_str(), &st, 0) == 0 ? identity_of(st) : FileIdentity{};
  if (!protect.bin.known || existing == protect.bin || protect.is_journal(identity_of(parent), own)) {
    ::close(parent);
    return Replacing::is_protected;
  }
  const std::string prefix = "." + own + ".xipsaw-" + std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temporary = prefix + std::to_string(attempt);
    const int fd = openat(parent, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file.fd_ = fd;
      file.parent_ = parent;
      file.owns_parent_ = true;
      file.leaf_ = temporary;
      file.replaces_ = own;
      return Replacing::created;
    }
    if (errno != EEXIST) break;
  }
  ::close(parent);
  return Replacing::failed;
}

#endif

}  // namespace xipsaw
