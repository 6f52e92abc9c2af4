#include "common/utf.h"

#include <cstdint>

namespace xipsaw {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void put_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::u16string utf16_of(std::string_view utf8, bool* exact) {
  if (exact != nullptr) *exact = true;
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    // The length of the sequence, and the least code it may stand for
    // (anything less is an overlong form).
    const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                          : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    bool whole = length != 0 && i + length <= utf8.size();
    for (size_t k = 1; whole && k < length; ++k) {
      whole = is_continuation(static_cast<unsigned char>(utf8[i + k]));
      code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    if (exact != nullptr && (!whole || code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)))
      *exact = false;
    if (!whole || code < kLeast[length] || code > 0x10FFFF) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += length;
  }
  return out;
}

std::string utf8_of(std::u16string_view utf16, bool* exact) {
  if (exact != nullptr) *exact = true;
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t code = utf16[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000)
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    else if (exact != nullptr && code >= 0xD800 && code < 0xE000)
      *exact = false;
    put_utf8(out, code);
  }
  return out;
}

}  // namespace xipsaw
