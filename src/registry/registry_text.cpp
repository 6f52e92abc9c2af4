#include "registry/registry_text.h"

#include "common/utf.h"

namespace xipsaw {

std::u16string utf16_from_bytes(const uint8_t* bytes, size_t count) {
  std::u16string text(count, u'\0');
  for (size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return text;
}

bool append_utf8(const std::u16string& text, std::string& out) {
  bool exact = false;
  const std::string utf8 = utf8_of(text, &exact);
  if (exact) out += utf8;
  return exact;
}

bool utf16_of_utf8(const std::string& text, std::u16string& out) {
  bool exact = false;
  out = utf16_of(text, &exact);
  return exact;
}

}  // namespace xipsaw
