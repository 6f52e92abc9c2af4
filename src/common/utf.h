// UTF-8 and UTF-16, the two forms of text that paths on Windows and the
// registry's files take.
#pragma once

#include <string>
#include <string_view>

namespace xipsaw {

// UTF-8 to UTF-16 and back, lossless for every sequence of 16-bit units: an
// unpaired surrogate, which Windows allows in a name, travels as its own
// three-byte form (the generalised UTF-8 known as WTF-8). A byte that begins
// no sequence becomes U+FFFD. exact, when given, tells whether the text was
// strict UTF-8 or UTF-16: no byte replaced, no unpaired surrogate.
std::u16string utf16_of(std::string_view utf8, bool* exact = nullptr);
std::string utf8_of(std::u16string_view utf16, bool* exact = nullptr);

}  // namespace xipsaw
