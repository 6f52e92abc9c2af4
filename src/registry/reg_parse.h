// .reg text as changes to a registry, with regedit's meanings: [key]
// creates the key and its parents where missing, [-key] deletes it and
// everything below it, "name"=value creates or replaces a value (the forms
// the export writes, and @ for the value named Default), "name"=- deletes
// it. Text is UTF-8 (a byte order mark is skipped) or, after its byte order
// mark, UTF-16LE as regedit saves it; hex lists may go on over lines ending
// in a backslash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xipsaw {

struct RegKeyChange {
  uint32_t line = 0;
  uint32_t root = 0;                  // a slot of kRootNames
  std::vector<std::u16string> path;   // below the root; empty for the root itself
  bool remove = false;
};

struct RegValueChange {
  uint32_t line = 0;
  uint32_t key = 0;  // the RegKeyChange it follows
  std::u16string name;
  bool remove = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// In the order of the text: each key's values follow it.
struct RegChanges {
  std::vector<RegKeyChange> keys;
  std::vector<RegValueChange> values;
};

// False, with the line and why, at the first line that is not .reg.
bool parse_reg(const std::string& text, RegChanges& changes, uint32_t& line, std::string& why);

}  // namespace xipsaw
