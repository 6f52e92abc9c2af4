#include "registry/reg_parse.h"

#include "common/words.h"
#include "registry/registry_text.h"
#include "registry/registry_tree.h"

namespace xipsaw {

namespace {

constexpr uint32_t kString = 1, kBinary = 3, kDword = 4;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text as UTF-8: UTF-16LE after its byte order mark converted, a UTF-8
// byte order mark dropped.
bool utf8_text(const std::string& text, std::string& out) {
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF && static_cast<uint8_t>(text[1]) == 0xFE) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data()) + 2;
    return text.size() % 2 == 0 && append_utf8(utf16_from_bytes(bytes, text.size() / 2 - 1), out);
  }
  out = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
  return true;
}

class Parser {
 public:
  Parser(const std::string& text, RegChangeSink* sink, uint32_t& line, std::string& why)
      : text_(text), sink_(sink), line_(line), why_(why) {}

  bool parse() {
    line_ = 0;
    std::string header;
    next_line(header);
    trim_end(header);
    if (header != "Windows Registry Editor Version 5.00" && header != "REGEDIT4")
      return fail("a .reg file begins with \"Windows Registry Editor Version 5.00\"");
    std::string line;
    while (next_line(line)) {
      size_t at = 0;
      while (at < line.size() && is_blank(line[at])) ++at;
      if (at == line.size() || line[at] == ';') continue;
      const bool ok = line[at] == '[' ? key_line(line.substr(at))
                      : line[at] == '"' || line[at] == '@' ? value_line(line, at)
                                                           : fail("expected [key] or \"name\"=value");
      if (!ok) return false;
    }
    return true;
  }

 private:
  bool fail(const std::string& why) {
    why_ = why;
    return false;
  }

  // The next line without its line end; false at the end of the text.
  bool next_line(std::string& line) {
    if (at_ >= text_.size() && line_ > 0) return false;
    ++line_;
    size_t end = text_.find('\n', at_);
    if (end == std::string::npos) end = text_.size();
    line.assign(text_, at_, end - at_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at_ = end + 1;
    return true;
  }

  static void trim_end(std::string& text) {
    while (!text.empty() && is_blank(text.back())) text.pop_back();
  }

  bool utf16(const std::string& text, std::u16string& out) {
    return utf16_of_utf8(text, out) || fail("the text is not UTF-8");
  }

  bool key_line(std::string line) {
    trim_end(line);
    if (line.size() < 2 || line.back() != ']') return fail("a key line ends with ]");
    RegKeyChange change;
    std::string path = line.substr(1, line.size() - 2);
    change.remove = !path.empty() && path[0] == '-';
    if (change.remove) path.erase(0, 1);
    const size_t slash = path.find('\\');
    const std::string root = path.substr(0, slash);
    change.root = kRootCount;
    for (uint32_t r = 0; r < kRootCount; ++r)
      if (equal_ignoring_ascii_case(root.c_str(), kRootNames[r])) change.root = r;
    if (change.root == kRootCount) return fail("\"" + root + "\" is no predefined root");
    for (size_t from = slash; from != std::string::npos;) {
      const size_t to = path.find('\\', from + 1);
      if (!utf16(path.substr(from + 1, to == std::string::npos ? to : to - from - 1),
                 change.path.emplace_back()))
        return false;
      from = to;
    }
    if (change.remove && change.path.empty()) return fail("a predefined root cannot be deleted");
    key_ = change.remove ? Key::removed : change.path.empty() ? Key::root : Key::key;
    return sink_ == nullptr || sink_->key(change, why_);
  }

  // A quoted text from at (just past its opening quote) to its closing
  // quote, with \\ and \" for a backslash and a quote; at ends past it.
  bool quoted(const std::string& line, size_t& at, std::u16string& out) {
    std::string text;
    for (; at < line.size() && line[at] != '"'; ++at) {
      if (line[at] == '\\') {
        if (++at == line.size() || (line[at] != '\\' && line[at] != '"'))
          return fail("a backslash in quotes stands before \\ or \"");
      }
      text += line[at];
    }
    if (at == line.size()) return fail("a quote is not closed");
    ++at;
    return utf16(text, out);
  }

  static bool rest_is_blank(const std::string& line, size_t at) {
    while (at < line.size() && is_blank(line[at])) ++at;
    return at == line.size();
  }

  // A value's line, or its first line when its hex list goes on: the line
  // a failure names.
  bool value_line(const std::string& line, size_t at) {
    const uint32_t first = line_;
    if (value_change(line, at)) return true;
    line_ = first;
    return false;
  }

  bool value_change(const std::string& line, size_t at) {
    if (key_ == Key::none) return fail("a value comes before any key");
    if (key_ == Key::removed) return fail("a value follows a deleted key");
    if (key_ == Key::root) return fail("a predefined root holds no values");
    RegValueChange change;
    if (line[at++] == '@')
      change.name = u"Default";  // where a device keeps a key's default value
    else if (!quoted(line, at, change.name))
      return false;
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at == line.size() || line[at] != '=') return fail("a value's name is followed by =");
    ++at;
    while (at < line.size() && is_blank(line[at])) ++at;
    const std::string rest = line.substr(at);
    bool ok = true;
    if (rest.compare(0, 1, "-") == 0) {
      change.remove = true;
      ok = rest_is_blank(rest, 1) || fail("nothing follows the - that deletes a value");
    } else if (rest.compare(0, 1, "\"") == 0) {
      ok = string_value(rest, change);
    } else if (rest.size() >= 6 && equal_ignoring_ascii_case(rest.substr(0, 6).c_str(), "dword:")) {
      ok = dword_value(rest.substr(6), change);
    } else if (rest.size() >= 3 && equal_ignoring_ascii_case(rest.substr(0, 3).c_str(), "hex")) {
      ok = hex_value(rest.substr(3), change);
    } else {
      ok = fail("a value is \"text\", dword:, hex:, hex(type): or -");
    }
    return ok && (sink_ == nullptr || sink_->value(change, why_));
  }

  bool string_value(const std::string& rest, RegValueChange& change) {
    size_t at = 1;
    std::u16string text;
    if (!quoted(rest, at, text)) return false;
    if (!rest_is_blank(rest, at)) return fail("nothing follows a quoted text");
    change.type = kString;
    for (char16_t c : text) change.data.insert(change.data.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    change.data.insert(change.data.end(), {0, 0});
    return true;
  }

  bool dword_value(std::string digits, RegValueChange& change) {
    trim_end(digits);
    uint32_t value = 0;
    for (char c : digits) {
      if (hex_digit(c) < 0) return fail("dword: takes 1 to 8 hexadecimal digits");
      value = value << 4 | static_cast<uint32_t>(hex_digit(c));
    }
    if (digits.empty() || digits.size() > 8) return fail("dword: takes 1 to 8 hexadecimal digits");
    change.type = kDword;
    change.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                   static_cast<uint8_t>(value >> 24)};
    return true;
  }

  // After "hex": ":" or "(type):", then bytes of one or two hexadecimal
  // digits separated by commas, on lines that end in a backslash while the
  // list goes on.
  bool hex_value(std::string rest, RegValueChange& change) {
    size_t at = 0;
    change.type = kBinary;
    if (rest.compare(0, 1, "(") == 0) {
      const size_t close = rest.find(')');
      if (close == std::string::npos || close == 1 || close > 9) return fail("hex( takes 1 to 8 hexadecimal digits and )");
      change.type = 0;
      for (size_t i = 1; i < close; ++i) {
        if (hex_digit(rest[i]) < 0) return fail("hex( takes 1 to 8 hexadecimal digits and )");
        change.type = change.type << 4 | static_cast<uint32_t>(hex_digit(rest[i]));
      }
      at = close + 1;
    }
    if (rest.compare(at, 1, ":") != 0) return fail("hex is followed by : or (type):");
    std::string list = rest.substr(at + 1);
    trim_end(list);
    std::string more;
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      if (!next_line(more)) return fail("a hex list goes on past the end of the file");
      trim_end(more);
      list += more;
    }
    for (size_t i = 0; i < list.size();) {
      while (i < list.size() && is_blank(list[i])) ++i;
      size_t digits = 0;
      uint32_t byte = 0;
      for (; i < list.size() && hex_digit(list[i]) >= 0 && digits < 3; ++i, ++digits)
        byte = byte << 4 | static_cast<uint32_t>(hex_digit(list[i]));
      while (i < list.size() && is_blank(list[i])) ++i;
      if (digits == 0 && i == list.size() && !change.data.empty()) break;  // a last comma
      if (digits == 0 || digits > 2 || (i < list.size() && list[i] != ','))
        return fail("a hex list holds bytes of two hexadecimal digits separated by commas");
      change.data.push_back(static_cast<uint8_t>(byte));
      ++i;
    }
    return true;
  }

  // What the last key line named, for the values after it.
  enum class Key { none, key, root, removed };

  const std::string& text_;
  size_t at_ = 0;
  RegChangeSink* sink_;
  Key key_ = Key::none;
  uint32_t& line_;
  std::string& why_;
};

}  // namespace

bool parse_reg(const std::string& text, RegChangeSink* sink, uint32_t& line, std::string& why) {
  std::string utf8;
  if (!utf8_text(text, utf8)) {
    line = 1;
    why = "the text after a UTF-16 byte order mark is not UTF-16";
    return false;
  }
  return Parser(utf8, sink, line, why).parse();
}

}  // namespace xipsaw
