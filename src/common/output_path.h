// Paths of extracted files: "%s/%s" from the output directory and an entry's
// name, refused when the name would lead outside the output directory.
#pragma once

#include <cstdio>
#include <string>

namespace xipsaw {

// True when name, taken from the image, stays below the output directory:
// no absolute path, no drive letter, no ".." component (and, on Windows, no
// backslash).
bool name_stays_below(const std::string& name);

// The output path of an entry. An empty output directory (a BIN file
// argument that begins with '.') puts the files in the current directory
// rather than at the file system's root.
std::string output_path(const std::string& output_directory, const std::string& name);

// Creates the output directory, one level, ignoring failure.
void make_output_directory(const std::string& output_directory);

// Opens path for binary writing, creating or truncating it; nullptr when
// name would leave the output directory, when path is the BIN file itself
// (bin_path) or its update journal, or when the file cannot be opened.
std::FILE* open_output_file(const std::string& path, const std::string& name, const std::string& bin_path);

}  // namespace xipsaw
