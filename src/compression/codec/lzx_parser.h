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
// by Prices. Every position keeps its two cheapest arrivals whose repeated
// offsets differ, so that a path that is a little dearer now but keeps a
// useful repeated offset survives.
class OptimalParser {
 public:
  // Parses data[0, n) into steps; returns the number of steps.
  uint32_t parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, const Prices& pr, Step* steps);

 private:
  // How the path of an arrival got there; its cost is kept apart, in
  // cost_, which the parse reads far more often.
  struct Link {
    uint16_t rep[3];     // the repeated offsets after the last step
    uint16_t from;       // where the last step starts
    uint16_t length;     // of the last step
    uint16_t code;
    uint8_t from_slot;   // which arrival there it continues
  };

  // Offers to reach j at cost by the step (length, code) from arrival slot
  // of position i, leaving the repeated offsets r0, r1, r2.
  void offer(uint32_t j, uint32_t cost, uint32_t i, unsigned slot, uint32_t length, uint32_t code, uint16_t r0,
             uint16_t r1, uint16_t r2) {
    if (cost >= cost_[1][j]) return;
    Link* l = link_[0] + j;
    Link* m = link_[1] + j;
    const Link a{{r0, r1, r2}, uint16_t(i), uint16_t(length), uint16_t(code), uint8_t(slot)};
    if (r0 == l->rep[0] && r1 == l->rep[1] && r2 == l->rep[2] && cost_[0][j] != kUnreached) {
      if (cost < cost_[0][j]) cost_[0][j] = cost, *l = a;
    } else if (cost < cost_[0][j]) {
      cost_[1][j] = cost_[0][j], *m = *l;
      cost_[0][j] = cost, *l = a;
    } else {
      cost_[1][j] = cost, *m = a;
    }
  }

  static constexpr uint32_t kUnreached = ~0u;
  // The two arrivals at each position: the cheapest, then the next one.
  uint32_t cost_[2][kBlockSize + 1];
  Link link_[2][kBlockSize + 1];
};

}  // namespace lzx::detail
