// Words that match without regard to the case of ASCII letters: command
// words, and the DLL names of import descriptors.
#pragma once

#include <string>

namespace xipsaw {

inline char fold_ascii_case(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Whether a equals b but for the case of ASCII letters; every other byte
// must match exactly.
inline bool equal_ignoring_ascii_case(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (fold_ascii_case(*a) != fold_ascii_case(*b)) return false;
  return *a == *b;
}

// text with its ASCII capitals in lower case, every other byte as it is.
inline std::string lower_ascii(std::string text) {
  for (char& c : text) c = fold_ascii_case(c);
  return text;
}

}  // namespace xipsaw
