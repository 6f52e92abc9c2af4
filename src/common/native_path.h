// Paths as the system takes them. Inside the tool a path is a string of
// bytes: on POSIX the bytes the system itself uses, on Windows UTF-8, made
// from the wide command line and handed back to Windows as UTF-16 through its
// wide calls, so that every name Windows allows works whatever the system's
// code page. Names read from an image are bytes in that code page, as the
// device's tools wrote them; where one becomes part of a path, or a word of
// the command line is matched against them, it is converted here.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/utf.h"

namespace xipsaw {

// fopen, remove and the like on a path of the tool's.
std::FILE* open_file(const std::string& path, const char* mode);
bool remove_file(const std::string& path);

// A name read from an image as a path component (on Windows, from the
// system's code page to UTF-8; elsewhere unchanged).
std::string path_of_image_name(const std::string& name);
// A word of the command line as the image holds names (on Windows, from
// UTF-8 to the system's code page, as a program with a narrow command line
// would get it; elsewhere unchanged).
std::string image_name_of_argument(const std::string& argument);

// Whether two names of files in one directory name the same file: on
// Windows without regard to case, as its file systems match names.
bool same_file_name(const std::string& a, const std::string& b);

#if defined(_WIN32)
std::wstring native_path(std::string_view path);
std::string path_of_native(const wchar_t* path);
#endif

}  // namespace xipsaw
