// Messages and listing lines: everything the tool prints goes to one stream.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace xipsaw {

// Prints a message formatted as by printf, showing each path in it made by
// shown() as the path was given.
void vsay(std::FILE* out, const char* format, va_list args);

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void say(std::FILE* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsay(out, format, args);
  va_end(args);
}

// Bytes below 0x20 and the byte 0x7f: line ends, escape sequences and the
// like, which a name from an image must never put on the terminal.
inline bool is_control_byte(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

inline bool has_control_bytes(const std::string& text) {
  for (char c : text)
    if (is_control_byte(c)) return true;
  return false;
}

// A name or path as it is printed: every control byte shown as '?', so that
// whatever an image holds cannot forge lines or drive the terminal. Text of
// printable bytes comes out unchanged.
inline std::string printable(std::string text) {
  for (char& c : text)
    if (is_control_byte(c)) c = '?';
  return text;
}

// A path in a message, as opposed to the bytes of a name read from an image:
// it travels through the formatted text between these two marks, which
// nothing else printed holds (names pass through printable(), the rest is
// the tool's own text), so that vsay can write it to a Windows console as
// characters. Into a pipe or a file it goes as it is: UTF-8 on Windows, the
// system's bytes elsewhere.
inline constexpr char kPathStart = '\x0e';
inline constexpr char kPathEnd = '\x0f';
inline std::string shown(const std::string& path) { return kPathStart + printable(path) + kPathEnd; }

}  // namespace xipsaw
