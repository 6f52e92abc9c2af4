// Messages and listing lines: everything the tool prints goes to one stream.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace xipsaw {

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void say(std::FILE* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
}

}  // namespace xipsaw
