// The text of registry files: UTF-16LE in the image, UTF-8 in .reg files.
#pragma once

#include <cstdint>
#include <string>

namespace xipsaw {

// count UTF-16LE code units from bytes.
std::u16string utf16_from_bytes(const uint8_t* bytes, size_t count);

// Appends text as UTF-8; false, with nothing appended, when it holds a
// surrogate that is not half of a pair.
bool append_utf8(const std::u16string& text, std::string& out);

// UTF-16 of UTF-8 text; false when it is not valid UTF-8.
bool utf16_of_utf8(const std::string& text, std::u16string& out);

}  // namespace xipsaw
