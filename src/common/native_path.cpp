#include "common/native_path.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace xipsaw {

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
