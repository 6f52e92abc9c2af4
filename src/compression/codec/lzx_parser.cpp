// Parsing a block into literals and matches.
#include "lzx_parser.h"

#include <algorithm>
#include <array>
#include <bit>

namespace lzx::detail {
namespace {

// Farthest distance at which the 2-byte lazy parse takes a new 2-byte match.
constexpr uint32_t kTwoByteReach = 64;

// log2(x) in 1/256 bits for x >= 1, in integers so that every platform
// prices alike.
constexpr uint32_t log2_q8(uint32_t x) {
  const unsigned whole = unsigned(std::bit_width(x)) - 1;
  uint64_t y = uint64_t(x) << (31 - whole);  // x / 2^whole in Q31, in [1, 2)
  uint32_t fraction = 0;
  for (int b = 0; b < 8; ++b) {
    y = y * y >> 31;
    fraction <<= 1;
    if (y >= uint64_t(1) << 32) {
      y >>= 1;
      fraction |= 1;
    }
  }
  return whole << 8 | fraction;
}

// Counts of one block's symbols are at most kBlockSize.
constexpr std::array<uint16_t, kBlockSize + 1> make_log2_table() {
  std::array<uint16_t, kBlockSize + 1> t{};
  for (uint32_t x = 1; x <= kBlockSize; ++x) t[x] = uint16_t(log2_q8(x));
  return t;
}
constexpr std::array<uint16_t, kBlockSize + 1> kLog2 = make_log2_table();

// A used symbol costs between its code length and the information of its
// frequency (a quarter of the one, three quarters of the other): the code
// lengths of the next parse move towards the latter. An absent symbol is
// priced as one a quarter as frequent as the rarest possible, since using it
// also lengthens the tree.
struct SymbolPricer {
  uint32_t log_total;
  uint32_t operator()(uint8_t len, uint32_t freq) const {
    if (len == 0) return (log_total + 2 * 256) * kBitPrice / 256;
    const uint32_t ideal = log_total - kLog2[freq];
    return ((len << 8) + 3 * ideal) * kBitPrice / 1024;
  }
};

SymbolPricer pricer_for(const uint32_t* freq, unsigned n) {
  uint32_t total = 0;
  for (unsigned s = 0; s < n; ++s) total += freq[s];
  return {kLog2[std::max(total, 1u)]};
}

struct Choice {
  uint32_t length;
  uint32_t code;
};

// The longest match at i, preferring a repeated offset that is at most one
// byte shorter; length 0 when there is none worth a literal's place.
Choice longest_at(const uint8_t* data, uint32_t n, const MatchFinder& mf, uint32_t i, const uint16_t* rep,
                  bool two_byte) {
  Choice best{0, 0};
  if (n - i < kMinMatch) return best;
  const uint32_t limit = std::min(kMaxMatch, n - i);
  const uint8_t* p = data + i;
  for (unsigned k = 0; k < 3; ++k) {
    if (rep[k] > i || (k > 0 && rep[k] == rep[0]) || (k > 1 && rep[k] == rep[1])) continue;
    const uint32_t len = match_length(p, p - rep[k], limit);
    if (len > best.length) best = {len, k};
  }
  if (mf.begin(i) != mf.end(i)) {
    const Match& m = mf.longest(i);
    const bool wanted = m.length >= 3 || (two_byte && m.distance <= kTwoByteReach);
    if (wanted && m.length > best.length + 1) best = {m.length, m.distance + 2u};
  }
  return best;
}

}  // namespace

void build_prices(const Stats& st, const Trees& t, bool aligned, Prices& p) {
  const SymbolPricer main = pricer_for(st.main_freq, kMainSymbols);
  const SymbolPricer length = pricer_for(st.length_freq, kLengthSymbols);
  const SymbolPricer align = pricer_for(st.aligned_freq, kAlignedSymbols);
  uint32_t main_price[kMainSymbols], length_price[kLengthSymbols], aligned_price[kAlignedSymbols];
  for (unsigned s = 0; s < kMainSymbols; ++s) main_price[s] = main(t.main_len[s], st.main_freq[s]);
  for (unsigned s = 0; s < kLengthSymbols; ++s) length_price[s] = length(t.length_len[s], st.length_freq[s]);
  for (unsigned s = 0; s < kAlignedSymbols; ++s)
    aligned_price[s] = st.any_aligned ? align(t.aligned_len[s], st.aligned_freq[s]) : 3 * kBitPrice;
  std::copy(main_price, main_price + kLiteralSymbols, p.literal);
  for (uint32_t f = 3; f < kFormattedLimit; ++f) {
    const unsigned extra = kExtraBits[kSlotOf[f]];
    if (aligned && extra >= 3) p.offset[f] = (extra - 3) * kBitPrice + aligned_price[f & 7];
    else p.offset[f] = extra * kBitPrice;
  }
  for (unsigned slot = 0; slot < kUsedSlots; ++slot) {
    const uint32_t* sym = main_price + kLiteralSymbols + slot * 8;
    for (uint32_t len = kMinMatch; len < kMinMatch + kNumPrimaryLengths; ++len)
      p.match[slot][len] = sym[len - kMinMatch];
    for (uint32_t len = kMinMatch + kNumPrimaryLengths; len <= kMaxMatch; ++len)
      p.match[slot][len] = sym[kNumPrimaryLengths] + length_price[len - kMinMatch - kNumPrimaryLengths];
  }
}

uint32_t lazy_parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, bool two_byte, Step* steps) {
  uint32_t count = 0;
  uint16_t rep[3] = {1, 1, 1};
  Choice c = longest_at(data, n, mf, 0, rep, two_byte);
  for (uint32_t i = 0; i < n;) {
    // A literal leaves the repeated offsets alone, so the look ahead is the
    // choice at the next position.
    const bool look = c.length < kNiceLength && i + 1 < n;
    const Choice next = look ? longest_at(data, n, mf, i + 1, rep, two_byte) : Choice{0, 0};
    if (c.length < kMinMatch || next.length > c.length) {
      steps[count++] = {1, data[i]};
      ++i;
      c = next;
      continue;
    }
    steps[count++] = {uint16_t(c.length), uint16_t(c.code)};
    if (c.code == 1) std::swap(rep[0], rep[1]);
    else if (c.code == 2) std::swap(rep[0], rep[2]);
    else if (c.code >= 3) rep[2] = rep[1], rep[1] = rep[0], rep[0] = uint16_t(c.code - 2);
    i += c.length;
    if (i < n) c = longest_at(data, n, mf, i, rep, two_byte);
  }
  return count;
}

uint32_t OptimalParser::parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, const Prices& pr,
                              unsigned arrivals, Step* steps) {
  return arrivals >= 3 ? parse<3>(data, n, mf, pr, steps) : parse<2>(data, n, mf, pr, steps);
}

template <unsigned kArrivals>
uint32_t OptimalParser::parse(const uint8_t* data, uint32_t n, const MatchFinder& mf, const Prices& pr, Step* steps) {
  for (unsigned k = 0; k < kArrivals; ++k) std::fill(cost_[k], cost_[k] + n + 1, kUnreached);
  cost_[0][0] = 0;
  link_[0][0] = {pack(1, 1, 1), 0, 0, 0, 0};

  uint32_t skip_until = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (i < skip_until) continue;
    const uint32_t avail = n - i;
    const uint32_t limit = std::min(kMaxMatch, avail);
    const uint8_t* p = data + i;
    const Match* const found = mf.begin(i);
    const Match* const found_end = mf.end(i);
    for (unsigned slot = 0; slot < kArrivals; ++slot) {
      const uint32_t base = cost_[slot][i];
      if (base == kUnreached) break;
      const uint64_t reps = link_[slot][i].reps;
      const uint16_t r0 = uint16_t(reps), r1 = uint16_t(reps >> 16), r2 = uint16_t(reps >> 32);
      offer<kArrivals>(i + 1, base + pr.literal[p[0]], i, slot, 1, p[0], reps);
      if (avail < kMinMatch) continue;

      // Repeated offsets, each distinct one once.
      uint32_t rep_len[3] = {0, 0, 0};
      if (r0 <= i) rep_len[0] = match_length(p, p - r0, limit);
      if (r1 != r0 && r1 <= i) rep_len[1] = match_length(p, p - r1, limit);
      if (r2 != r0 && r2 != r1 && r2 <= i) rep_len[2] = match_length(p, p - r2, limit);
      const uint64_t rep_after[3] = {reps, pack(r1, r0, r2), pack(r2, r1, r0)};
      uint32_t longest = 0, longest_code = 0;
      for (unsigned k = 0; k < 3; ++k)
        if (rep_len[k] > longest) longest = rep_len[k], longest_code = k;
      const bool full = slot < kFullArrivals;
      if (full && found != found_end && mf.longest(i).length > longest)
        longest = mf.longest(i).length, longest_code = mf.longest(i).distance + 2u;

      if (longest >= kNiceLength) {
        // Take a long match whole and do not branch inside it.
        if (longest_code < 3) {
          offer<kArrivals>(i + longest, base + pr.match[longest_code][longest], i, slot, longest, longest_code,
                           rep_after[longest_code]);
        } else {
          const uint32_t cost = base + pr.match[kSlotOf[longest_code]][longest] + pr.offset[longest_code];
          offer<kArrivals>(i + longest, cost, i, slot, longest, longest_code, pack(uint16_t(longest_code - 2), r0, r1));
        }
        skip_until = std::max(skip_until, i + longest);
        continue;
      }

      for (unsigned k = 0; k < 3; ++k)
        for (uint32_t len = kMinMatch; len <= rep_len[k]; ++len)
          offer<kArrivals>(i + len, base + pr.match[k][len], i, slot, len, k, rep_after[k]);
      if (!full) continue;
      // Each listed match covers the lengths above the previous shorter one
      // (a second distance repeats the range of the first).
      uint32_t shorter = 1, previous = 1;
      for (const Match* m = found; m != found_end; ++m) {
        if (m->length != previous) shorter = previous, previous = m->length;
        const uint16_t d = m->distance;
        if (d == r0 || d == r1 || d == r2) {
          shorter = m->length;  // the repeated offset covers these lengths
          continue;
        }
        const uint32_t f = d + 2u;
        const uint32_t* price = pr.match[kSlotOf[f]];
        const uint32_t off = base + pr.offset[f];
        const uint64_t after = pack(d, r0, r1);
        for (uint32_t len = shorter + 1; len <= m->length; ++len)
          offer<kArrivals>(i + len, off + price[len], i, slot, len, f, after);
      }
    }
  }

  uint32_t count = 0;
  for (uint32_t j = n, slot = 0; j > 0;) {
    const Link& a = link_[slot][j];
    steps[count++] = {a.length, a.code};
    j = a.from;
    slot = a.from_slot;
  }
  std::reverse(steps, steps + count);
  return count;
}

}  // namespace lzx::detail
