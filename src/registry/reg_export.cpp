#include "registry/reg_export.h"

#include <functional>

#include "common/le.h"
#include "registry/registry_text.h"

namespace xipsaw {

namespace {

constexpr uint32_t kString = 1, kBinary = 3, kDword = 4;

bool is_control(char16_t c) { return c < 0x20 || c == 0x7F; }

// text as it stands between quotes in .reg, backslashes and quotes escaped;
// false when .reg cannot hold it.
bool quoted(const std::u16string& text, std::string& out) {
  std::string utf8;
  for (char16_t c : text)
    if (is_control(c)) return false;
  if (!append_utf8(text, utf8)) return false;
  out += '"';
  for (char c : utf8) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return true;
}

void append_hex(const std::vector<uint8_t>& data, std::string& out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i != 0) out += ',';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
  }
}

// The data of a string value whose text .reg can hold, appended quoted: it
// ends with its one NUL.
bool append_string(const std::vector<uint8_t>& data, std::string& out) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string text = utf16_from_bytes(data.data(), data.size() / 2);
  if (text.back() != u'\0') return false;
  text.pop_back();
  return quoted(text, out);
}

// The value's line, or false when .reg cannot hold its name.
bool value_line(const RegistryValue& value, std::string& line) {
  line.clear();
  if (!quoted(value.name, line)) return false;
  line += '=';
  if (value.type == kString && append_string(value.data, line)) return true;
  if (value.type == kDword && value.data.size() == 4) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", load_u32(value.data.data()));
    line += text;
    return true;
  }
  if (value.type == kBinary) {
    line += "hex:";
  } else {
    char text[24];
    std::snprintf(text, sizeof text, "hex(%x):", value.type);
    line += text;
  }
  append_hex(value.data, line);
  return true;
}

// A key's name as a step of a .reg path, or false when .reg cannot hold it.
bool path_step(const RegistryTree& tree, const RegistryKey& key, std::string& path) {
  if (!tree.names_are_paths && key.name.find(u'\\') != std::u16string::npos) return false;
  for (char16_t c : key.name)
    if (is_control(c)) return false;
  path += '\\';
  return append_utf8(key.name, path);
}

// Visits every key that .reg can name, depth first, with its path; for the
// others, the path of the key they lie below. An explicit stack, and one
// path that grows and shrinks, for keys nested to any depth.
void walk_keys(const RegistryTree& tree, const std::function<void(const RegistryKey*, const std::string&)>& visit) {
  struct Frame {
    const std::vector<uint32_t>* keys;
    size_t next;
    size_t path_length;
  };
  std::string path;
  for (uint32_t r = 0; r < kRootCount; ++r) {
    path = kRootNames[r];
    std::vector<Frame> stack{{&tree.roots[r], 0, path.size()}};
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.keys->size()) {
        stack.pop_back();
        continue;
      }
      const RegistryKey& key = tree.keys[(*frame.keys)[frame.next++]];
      path.resize(frame.path_length);
      if (!path_step(tree, key, path)) {
        path.resize(frame.path_length);
        visit(nullptr, path);
        continue;
      }
      visit(&key, path);
      stack.push_back({&key.subkeys, 0, path.size()});
    }
  }
}

}  // namespace

bool write_reg(std::FILE* out, const RegistryTree& tree) {
  uint64_t total = 0;
  walk_keys(tree, [&](const RegistryKey*, const std::string& path) { total += path.size(); });
  if (total > kMaxExportPaths) return false;
  std::fputs("Windows Registry Editor Version 5.00\n\n", out);
  std::string line;
  walk_keys(tree, [&](const RegistryKey* key, const std::string& path) {
    if (key == nullptr) {
      std::fprintf(out, "; a key below [%s] is left out with everything below it: its name cannot be written in .reg\n\n",
                   path.c_str());
      return;
    }
    std::fprintf(out, "[%s]\n", path.c_str());
    for (uint32_t v : key->values) {
      if (value_line(tree.values[v], line))
        std::fprintf(out, "%s\n", line.c_str());
      else
        std::fputs("; a value is left out: its name cannot be written in .reg\n", out);
    }
    std::fputs("\n", out);
  });
  return true;
}

}  // namespace xipsaw
