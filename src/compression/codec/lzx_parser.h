// The parsers of the encoder: quick lazy parses that give the first symbol
// counts, and a shortest-path parse priced by the codes of a previous parse.
#pragma once

#include <cstdint>

#include "lzx_block_writer.h"
#include "lzx_encoder_internal.h"
#include "lzx_match_finder.h"

namespace lzx::detail {

// Prices are in 1/kBitPrice bits.
inline constexpr uint32_t kBitPrice = 16;

struct Prices {
  uint32_t literal[kLiteralSymbols];
  uint32_t offset[kFormattedLimit];  // extra bits and aligned symbol of a formatted offset
  // Main and length symbol of a match by slot and length.
  uint32_t match[kUsedSlots][kMaxMatch + 1];
};

// Prices of the symbols of the next parse from the counts and codes of the
// previous one, for a verbatim or an aligned offset block.
void build_prices(const Stats& st, const Trees& t, bool aligned, Prices& p);

// A quick greedy parse with one position of lookahead, into steps; returns
// the number of steps. New matches start at 3 bytes, or also at 2 bytes when
// two_byte is set (repeated offsets always do).
uint32_t lazy_parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, bool two_byte, Step* steps);

// Shortest path through a block where edges are literals and matches priced
// by Prices. Every position keeps its two or three cheapest arrivals whose
// repeated offsets differ, so that a path that is a little dearer now but
// keeps a useful repeated offset survives (a table of 4-byte records lives on
// 2-byte matches at the record's distance, which a few literals in between
// must not lose).
class OptimalParser {
 public:
  // Parses data[0, n) into steps keeping `arrivals` (2 or 3) arrivals per
  // position; returns the number of steps.
  uint32_t parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, const Prices& pr, unsigned arrivals,
                 Step* steps);

 private:
  static constexpr unsigned kMaxArrivals = 3;
  // Arrivals from this one on only continue with a literal or a repeated
  // offset: they are there to keep repeated offsets, and new matches from
  // them hardly ever beat those from the cheaper arrivals.
  static constexpr unsigned kFullArrivals = 2;

  // The repeated offsets R0, R1, R2 in one value, R0 lowest.
  static uint64_t pack(uint16_t r0, uint16_t r1, uint16_t r2) { return r0 | uint64_t(r1) << 16 | uint64_t(r2) << 32; }

  // How the path of an arrival got there; its cost is kept apart, in
  // cost_, which the parse reads far more often.
  struct Link {
    uint64_t reps;       // the repeated offsets after the last step
    uint16_t from;       // where the last step starts
    uint16_t length;     // of the last step
    uint16_t code;
    uint8_t from_slot;   // which arrival there it continues
  };

  // Offers to reach j at cost by the step (length, code) from arrival slot
  // of position i, leaving the repeated offsets reps.
  template <unsigned kArrivals>
  void offer(uint32_t j, uint32_t cost, uint32_t i, unsigned slot, uint32_t length, uint32_t code, uint64_t reps) {
    if (cost >= cost_[kArrivals - 1][j]) return;
    // The arrival it takes the place of: the one with the same repeated
    // offsets if there is one, else the dearest.
    unsigned k = 0;
    while (k < kArrivals - 1 && (cost_[k][j] == kUnreached || link_[k][j].reps != reps)) ++k;
    if (cost >= cost_[k][j]) return;
    for (; k > 0 && cost_[k - 1][j] > cost; --k) {
      cost_[k][j] = cost_[k - 1][j];
      link_[k][j] = link_[k - 1][j];
    }
    cost_[k][j] = cost;
    link_[k][j] = {reps, uint16_t(i), uint16_t(length), uint16_t(code), uint8_t(slot)};
  }

  static constexpr uint32_t kUnreached = ~0u;
  template <unsigned kArrivals>
  uint32_t parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, const Prices& pr, Step* steps);

  // The arrivals at each position, cheapest first.
  uint32_t cost_[kMaxArrivals][kBlockSize + 1];
  Link link_[kMaxArrivals][kBlockSize + 1];
};

}  // namespace lzx::detail
