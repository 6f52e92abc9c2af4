// Reading a whole file in large blocks, each with a look-ahead past its end,
// for searches that test every byte offset, and finding texts in them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/bin_stream.h"

namespace xipsaw {

class BlockScan {
 public:
  static constexpr size_t kBlock = size_t{1} << 20;
  static constexpr size_t kLookahead = 192;  // bytes past a block that its tests may read

  BlockScan(BinStream& stream, int64_t file_size) : stream_(stream), file_size_(file_size) {}

  // Calls visit(start, bytes, count) for consecutive blocks that cover the
  // offsets [from, to): bytes holds the file from start on, count offsets
  // and kLookahead more, zero past the end of the file. visit may move the
  // stream. False when the file could not be read.
  template <typename Visit>
  bool run(int64_t from, int64_t to, Visit&& visit) {
    if (from < to) buffer_.resize(static_cast<size_t>(std::min<int64_t>(kBlock, to - from)) + kLookahead);
    for (int64_t start = from; start < to; start += kBlock) {
      const size_t count = static_cast<size_t>(std::min<int64_t>(kBlock, to - start));
      const size_t wanted = static_cast<size_t>(std::min<int64_t>(count + kLookahead, file_size_ - start));
      stream_.seek(start);
      if (stream_.read(buffer_.data(), wanted) != wanted) return false;
      std::memset(buffer_.data() + wanted, 0, count + kLookahead - wanted);
      visit(start, static_cast<const uint8_t*>(buffer_.data()), count);
    }
    return true;
  }

 private:
  BinStream& stream_;
  int64_t file_size_;
  std::vector<uint8_t> buffer_;
};

// Finds two texts in a block at once: the offsets at which the first lies,
// and those at which the second lies `shift` bytes further on, each search
// only when asked. Where the texts' first bytes are rare, as in most of any
// file, memchr over each finds them fastest; where they are common (random
// data, text), a call per occurrence costs more than testing 64 offsets at a
// time on two bytes of each text, which the compiler does many at once.
// Each text takes, in each block, the way that suited it in the last, and
// every 16th block tries memchr again.
class TextSearch {
 public:
  TextSearch(const char* first, size_t first_length, const char* second, size_t second_length, size_t shift)
      : texts_{{{first, first_length, 0, false}, {second, second_length, shift, false}}} {}

  // Calls visit(at, which) for each offset at < count where the first text
  // (which 0) or the second (which 1) lies, each text only when wanted,
  // until visit returns false for that text; bytes must reach past count by
  // the shift and the texts' lengths.
  template <typename Visit>
  void find(const uint8_t* bytes, size_t count, bool first_wanted, bool second_wanted, Visit&& visit) {
    bool wanted[2] = {first_wanted, second_wanted};
    bool by_rounds[2] = {false, false};
    const bool retry = ++blocks_ % 16 == 0;
    for (int which = 0; which < 2; ++which) {
      Text& t = texts_[which];
      if (!wanted[which]) continue;
      if (t.common && !retry) {
        by_rounds[which] = true;
        continue;
      }
      t.common = find_rare(t, bytes, count, [&](size_t at) { return visit(at, which); }) > count / 512;
    }
    if (by_rounds[0] || by_rounds[1]) find_common(bytes, count, by_rounds, visit);
  }

 private:
  struct Text {
    const char* text;
    size_t length;
    size_t shift;
    bool common = false;  // its first byte was common in the last block that looked
  };

  // 64 offsets at a time, on two bytes of each text searched; a text not
  // searched gets bytes no offset can match (0 and 0xFF are never both at
  // one place).
  template <typename Visit>
  void find_common(const uint8_t* bytes, size_t count, bool searched[2], Visit&& visit) const {
    uint8_t two[2][2];
    for (int which = 0; which < 2; ++which) {
      two[which][0] = searched[which] ? static_cast<uint8_t>(texts_[which].text[0]) : 0x00;
      two[which][1] = searched[which] ? static_cast<uint8_t>(texts_[which].text[2]) : 0xFF;
    }
    const size_t shift = texts_[1].shift;
    constexpr size_t kRound = 64;
    for (size_t base = 0; base < count; base += kRound) {
      const uint8_t* p = bytes + base;
      uint8_t any = 0;
      for (size_t i = 0; i < kRound; ++i) {
        const uint8_t a = (p[i] == two[0][0] ? 0xFF : 0) & (p[i + 2] == two[0][1] ? 0xFF : 0);
        const uint8_t b = (p[i + shift] == two[1][0] ? 0xFF : 0) & (p[i + shift + 2] == two[1][1] ? 0xFF : 0);
        any |= static_cast<uint8_t>(a | b);
      }
      if (any == 0) continue;
      const size_t n = std::min(kRound, count - base);
      for (size_t i = 0; i < n; ++i)
        for (int which = 0; which < 2; ++which) {
          const Text& t = texts_[which];
          if (searched[which] && std::memcmp(p + i + t.shift, t.text, t.length) == 0)
            searched[which] = visit(base + i, which);
        }
    }
  }

  // memchr over the text's first byte, until visit returns false; returns
  // how often that byte occurs.
  template <typename Visit>
  static size_t find_rare(const Text& t, const uint8_t* bytes, size_t count, Visit&& visit) {
    const uint8_t* from = bytes + t.shift;
    size_t occurrences = 0;
    for (const void* hit = std::memchr(from, t.text[0], count); hit != nullptr;) {
      const auto at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - from);
      ++occurrences;
      if (std::memcmp(from + at, t.text, t.length) == 0 && !visit(at)) break;
      hit = at + 1 < count ? std::memchr(from + at + 1, t.text[0], count - at - 1) : nullptr;
    }
    return occurrences;
  }

  std::array<Text, 2> texts_;
  uint64_t blocks_ = 0;
};

}  // namespace xipsaw
