#include "registry/registry_tree.h"

namespace xipsaw {

// The names regedit writes; the last four are the roots Windows defines
// beyond the four a device uses.
const std::array<const char*, kRootCount> kRootNames = {
    "HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",      "HKEY_CURRENT_USER_LOCAL_SETTINGS"};

namespace {

char16_t fold(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return static_cast<char16_t>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  return c;
}

}  // namespace

std::u16string folded(std::u16string name) {
  for (char16_t& c : name) c = fold(c);
  return name;
}

}  // namespace xipsaw
