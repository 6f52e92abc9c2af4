#include "output/output_directory.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "output/messages.h"

#if defined(_WIN32)
#include <windows.h>

#include "common/native_path.h"
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
// and in any case; Windows also counts the superscript digits 1 to 3), or a
// name ending in '.' or ' ', which Windows strips, so that "x." would write
// x and ".. " would climb out. The component is UTF-8.
bool windows_alters(std::string_view component) {
  if (component == ".") return false;
  if (!component.empty() && (component.back() == '.' || component.back() == ' ')) return true;
  std::string_view stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);  // "nul .txt" is NUL too
  std::string upper(stem);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
  const std::string_view digit = std::string_view(upper).substr(std::min<size_t>(upper.size(), 3));
  const bool port_digit = (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\u00B9" ||
                          digit == "\u00B2" || digit == "\u00B3";
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

std::string shown_output_path(const std::string& output_directory, const std::string& entry) {
  return shown(output_directory.empty() ? std::string(".") : output_directory) + "/" + printable(entry);
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

// Creates, with make, every directory that path passes through before its
// last component, from the first on; failures show when the last is opened.
template <typename Make>
void make_parents(const std::string& path, Make&& make) {
#if defined(_WIN32)
  const char* const separators = "/\\";
#else
  const char* const separators = "/";
#endif
  for (size_t at = path.find_first_of(separators, 1); at != std::string::npos;
       at = path.find_first_of(separators, at + 1)) {
    if (path[at - 1] == ':' || std::strchr(separators, path[at - 1]) != nullptr) continue;  // "C:\", "a//b"
    make(path.substr(0, at));
  }
}

}  // namespace

// ---- The output directory ------------------------------------------------

void OutputDirectory::set_subdirectory(std::string name) {
  subdirectory_ = std::move(name);
  subdirectory_made_ = false;
}

void OutputDirectory::protect(int bin_descriptor, std::string journal_path) {
  protected_.bin_descriptor = bin_descriptor;
  protected_.journal_path = std::move(journal_path);
  protected_learnt_ = false;
}

#if defined(_WIN32)

OutputDirectory::~OutputDirectory() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

bool OutputDirectory::prepare() {
  if (handle_ == nullptr) {
    if (parents_) make_parents(name_, [](const std::string& d) { CreateDirectoryW(native_path(d).c_str(), nullptr); });
    if (!name_.empty()) CreateDirectoryW(native_path(name_).c_str(), nullptr);
    // The directory itself may be a link the user made: this open follows it.
    HANDLE directory = open_directory(name_.empty() ? "." : name_, kShareAll, true);
    BY_HANDLE_FILE_INFORMATION info;
    if (identity_of(directory, info).known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      handle_ = directory;
      protected_files();
    } else if (directory != INVALID_HANDLE_VALUE) {
      CloseHandle(directory);
    }
  }
  // The subdirectory is created only; open() walks it as any directory of
  // an entry's name, refusing a reparse point there.
  if (handle_ != nullptr && !subdirectory_.empty() && !subdirectory_made_) {
    CreateDirectoryW(native_path((name_.empty() ? std::string(".") : name_) + "/" + subdirectory_).c_str(), nullptr);
    subdirectory_made_ = true;
  }
  return handle_ != nullptr;
}

bool OutputDirectory::open(const std::string& name, OutputFile& file) {
  file.shown_path_ = shown_output_path(name_, subdirectory_.empty() ? name : subdirectory_ + "/" + name);
  // The name in the characters it stands for, which are what Windows judges.
  const std::string own_name = path_of_image_name(name);
  const std::string entry = subdirectory_.empty() ? own_name : subdirectory_ + "/" + own_name;
  std::vector<std::string> directories;
  std::string leaf;
  if (handle_ == nullptr || !protected_.bin.known || !name_stays_below(own_name) || has_control_bytes(own_name) ||
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
  if (protected_.is_journal(identity_of(parent, info), leaf)) return false;

  std::wstring native = native_path(path + "/" + leaf);
  HANDLE handle = CreateFileW(native.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file.handle_ = handle;
  file.path_ = std::move(native);
  // A file with other names (hard links) may be a file outside the
  // directory that someone linked in: it is not ours to overwrite.
  const FileIdentity identity = identity_of(handle, info);
  const bool plain = GetFileType(handle) == FILE_TYPE_DISK && identity.known &&
                     !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                     info.nNumberOfLinks == 1;
  // Truncated only now that it is known to be a plain file of our own.
  if (!plain || identity == protected_.bin ||
      ((info.nFileSizeHigh | info.nFileSizeLow) != 0 && !SetEndOfFile(handle)))
    return false;
  return true;
}

#else

OutputDirectory::~OutputDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputDirectory::prepare() {
  if (fd_ < 0) {
    if (parents_) make_parents(name_, [](const std::string& d) { mkdir(d.c_str(), 0777); });
    if (!name_.empty()) mkdir(name_.c_str(), 0777);
    // The directory itself may be a link the user made: this open follows it.
    fd_ = ::open(name_.empty() ? "." : name_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) protected_files();
  }
  // The subdirectory is created only; open() walks it as any directory of
  // an entry's name, refusing a link there.
  if (fd_ >= 0 && !subdirectory_.empty() && !subdirectory_made_) {
    mkdirat(fd_, subdirectory_.c_str(), 0777);
    subdirectory_made_ = true;
  }
  return fd_ >= 0;
}

bool OutputDirectory::open(const std::string& name, OutputFile& file) {
  const std::string entry = subdirectory_.empty() ? name : subdirectory_ + "/" + name;
  file.shown_path_ = shown_output_path(name_, entry);
  std::vector<std::string> directories;
  if (fd_ < 0 || !protected_.bin.known || !name_stays_below(name) || has_control_bytes(name) ||
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
  if (protected_.is_journal(identity_of(file.parent_), file.leaf_)) return false;

  // A link at the file fails to open; a FIFO without a reader fails at
  // once, and with one is refused below, as is any other file that is not
  // plain, and a file with other names (hard links), which may be a file
  // outside the directory that someone linked in. Nothing is truncated
  // before those checks.
  file.fd_ = openat(file.parent_, file.leaf_.c_str(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  struct stat st;
  if (file.fd_ < 0 || fstat(file.fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      identity_of(st) == protected_.bin || fcntl(file.fd_, F_SETFL, 0) != 0 || (st.st_size != 0 && ftruncate(file.fd_, 0) != 0))
    return false;
  return true;
}

#endif

}  // namespace xipsaw
