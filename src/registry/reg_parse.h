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
  uint32_t root = 0;                 // a slot of kRootNames
  std::vector<std::u16string> path;  // below the root; empty for the root itself
  bool remove = false;
};

struct RegValueChange {
  std::u16string name;
  bool remove = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// What the changes are made to, one at a time in the order of the text,
// each value after the key it belongs to. A change that cannot be made
// returns false with why.
class RegChangeSink {
 public:
  virtual ~RegChangeSink() = default;
  virtual bool key(const RegKeyChange& change, std::string& why) = 0;
  virtual bool value(const RegValueChange& change, std::string& why) = 0;
};

// Reads the text line by line, handing each change to sink when one is
// given (else only checking the text), so that memory stays at one line.
// False, with the line and why, at the first line that is not .reg or
// whose change the sink cannot make.
bool parse_reg(const std::string& text, RegChangeSink* sink, uint32_t& line, std::string& why);

}  // namespace xipsaw
