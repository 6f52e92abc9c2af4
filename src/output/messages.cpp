#include "output/messages.h"

#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include "common/native_path.h"
#endif

namespace xipsaw {

namespace {

// A path, without its marks. A console on Windows takes characters, not
// bytes in its code page, which may lack the path's characters.
void write_path(std::FILE* out, const char* path, size_t size) {
#if defined(_WIN32)
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode)) {
    const std::wstring wide = native_path(std::string_view(path, size));
    std::fflush(out);  // what came before the path goes first
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(path, 1, size, out);
}

// Where c first stands in [from, end), or end.
const char* find(const char* from, const char* end, char c) {
  const void* at = std::memchr(from, c, static_cast<size_t>(end - from));
  return at != nullptr ? static_cast<const char*>(at) : end;
}

void write_message(std::FILE* out, const char* text, size_t size) {
  const char* const end = text + size;
  for (const char* start; (start = find(text, end, kPathStart)) != end;) {
    std::fwrite(text, 1, static_cast<size_t>(start - text), out);
    const char* path_end = find(start, end, kPathEnd);
    write_path(out, start + 1, static_cast<size_t>(path_end - start - 1));
    text = path_end == end ? end : path_end + 1;
  }
  std::fwrite(text, 1, static_cast<size_t>(end - text), out);
}

}  // namespace

void vsay(std::FILE* out, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  char line[512];
  const int length = std::vsnprintf(line, sizeof line, format, args);
  if (length >= 0 && static_cast<size_t>(length) < sizeof line) {
    write_message(out, line, static_cast<size_t>(length));
  } else if (length > 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    write_message(out, text.data(), static_cast<size_t>(length));
  }
  va_end(again);
}

}  // namespace xipsaw
