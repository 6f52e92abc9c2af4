// Command-line words, which match without regard to the case of ASCII
// letters.
#pragma once

namespace xipsaw {

// Whether a equals b but for the case of ASCII letters; every other byte
// must match exactly.
inline bool equal_ignoring_ascii_case(const char* a, const char* b) {
  auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; };
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (fold(static_cast<unsigned char>(*a)) != fold(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

}  // namespace xipsaw
