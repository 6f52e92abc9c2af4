// What a path names, asked the way the tool opens files (see
// native_path.h), so that the answer always agrees with open_file.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/native_path.h"

namespace xipsaw {

enum class PathKind { missing, regular, other };

// missing also when the system cannot tell (no permission to look).
inline PathKind path_kind(const std::string& path, uint64_t* size = nullptr) {
#if defined(_WIN32)
  struct _stat64 st;
  if (_wstat64(native_path(path).c_str(), &st) != 0) return PathKind::missing;
  const bool regular = (st.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return PathKind::missing;
  const bool regular = S_ISREG(st.st_mode);
#endif
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return regular ? PathKind::regular : PathKind::other;
}

}  // namespace xipsaw
