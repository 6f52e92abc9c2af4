#include "common/native_path.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#endif

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

std::u16string utf16_of(std::string_view utf8) {
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

std::string utf8_of(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t code = utf16[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000)
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    put_utf8(out, code);
  }
  return out;
}

#if defined(_WIN32)

std::wstring native_path(std::string_view path) {
  const std::u16string units = utf16_of(path);
  return std::wstring(units.begin(), units.end());
}

std::string path_of_native(const wchar_t* path) {
  const std::wstring_view units(path);
  return utf8_of(std::u16string(units.begin(), units.end()));
}

std::FILE* open_file(const std::string& path, const char* mode) {
  const std::string_view m(mode);
  return _wfopen(native_path(path).c_str(), std::wstring(m.begin(), m.end()).c_str());
}

bool remove_file(const std::string& path) { return _wremove(native_path(path).c_str()) == 0; }

namespace {

// MultiByteToWideChar or WideCharToMultiByte, called once for the length
// and once for the text.
template <typename To, typename From, typename Convert>
std::basic_string<To> converted(const std::basic_string<From>& text, Convert&& convert) {
  if (text.empty()) return {};
  const int length = convert(text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::basic_string<To> out(static_cast<size_t>(length > 0 ? length : 0), To{});
  if (length > 0) convert(text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

std::wstring wide_of_code_page(const std::string& text) {
  return converted<wchar_t>(text, [](const char* from, int n, wchar_t* to, int room) {
    return MultiByteToWideChar(CP_ACP, 0, from, n, to, room);
  });
}

}  // namespace

std::string path_of_image_name(const std::string& name) {
  const std::wstring wide = wide_of_code_page(name);
  return utf8_of(std::u16string(wide.begin(), wide.end()));
}

std::string image_name_of_argument(const std::string& argument) {
  return converted<char>(native_path(argument), [](const wchar_t* from, int n, char* to, int room) {
    return WideCharToMultiByte(CP_ACP, 0, from, n, to, room, nullptr, nullptr);
  });
}

namespace {

// The name in upper case, letter for letter, as the file systems compare
// names.
std::wstring upper_case(const std::string& name) {
  const std::wstring wide = native_path(name);
  std::wstring upper(wide.size(), L'\0');
  const int length = static_cast<int>(wide.size());
  if (length == 0 ||
      LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, upper.data(), length) != length)
    return wide;
  return upper;
}

}  // namespace

bool same_file_name(const std::string& a, const std::string& b) {
  return a == b || upper_case(a) == upper_case(b);
}

#else

std::FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0; }

std::string path_of_image_name(const std::string& name) { return name; }

std::string image_name_of_argument(const std::string& argument) { return argument; }

bool same_file_name(const std::string& a, const std::string& b) { return a == b; }

#endif

}  // namespace xipsaw
