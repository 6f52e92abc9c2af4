// Compression into framed buffers: a 3-byte size, 3-byte block end offsets,
// and per 4096-byte block a 16-byte header plus one independent LZX stream.
//
// Each stream holds a single LZX block. The encoder finds matches within the
// block with hash chains, makes a quick lazy parse, then parses the block
// again with a shortest-path search whose symbol prices come from the Huffman
// codes of the previous parse. Every parse is sized both as a verbatim and as
// an aligned offset block; the smallest is written, or an uncompressed block
// when nothing beats it.
#include "lzx_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "lzx_encoder_internal.h"
#include "lzx_format.h"

namespace lzx {
namespace {

constexpr unsigned kMainLimit = kMaxCodeLength;
constexpr unsigned kPretreeLimit = 15;  // pretree lengths are sent in 4 bits
constexpr unsigned kAlignedLimit = 7;   // aligned tree lengths are sent in 3 bits

using detail::kMaxStreamBytes;

// Offsets within one block are below kBlockSize, so formatted offsets
// (offset + 2) stay below kBlockSize + 2.
constexpr uint32_t kFormattedLimit = kBlockSize + 2;

constexpr std::array<uint8_t, kFormattedLimit> make_slot_table() {
  std::array<uint8_t, kFormattedLimit> t{};
  unsigned s = 0;
  for (uint32_t f = 0; f < kFormattedLimit; ++f) {
    while (s + 1 < kPositionSlots && kPositionBase[s + 1] <= f) ++s;
    t[f] = uint8_t(s);
  }
  return t;
}
constexpr std::array<uint8_t, kFormattedLimit> kSlotOf = make_slot_table();

// Below this length a match competes with its shorter prefixes in the parse;
// from it on it is taken whole, which keeps long runs cheap to parse.
constexpr uint32_t kNiceLength = 96;
constexpr unsigned kChainDepth = 16;
constexpr unsigned kParsePasses = 2;  // after a quick first parse

constexpr unsigned kHashBits = 12;

uint32_t load_u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void store_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void store_u24(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 3; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Number of equal bytes at a and b, at most limit.
inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t l = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (l + 8 <= limit) {
      uint64_t x, y;
      std::memcpy(&x, a + l, 8);
      std::memcpy(&y, b + l, 8);
      if (x != y) return l + unsigned(std::countr_zero(x ^ y)) / 8;
      l += 8;
    }
  }
  while (l < limit && a[l] == b[l]) ++l;
  return l;
}

// Writes 16-bit little-endian words, filling each from its most significant
// bit. Past the capacity it keeps counting but stops writing.
class BitWriter {
 public:
  BitWriter(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) {}

  // n in 0..32.
  void put(uint32_t value, unsigned n) {
    if (n > 16) {
      put(value >> 16, n - 16);
      n = 16;
      value &= 0xFFFF;
    }
    acc_ = acc_ << n | value;
    bits_ += n;
    if (bits_ >= 16) {
      bits_ -= 16;
      emit(uint16_t(acc_ >> bits_));
    }
  }
  // Pads to the next word boundary with 1 to 16 zero bits, as the bytes of an
  // uncompressed block require.
  void align_with_padding() { put(0, 16 - bits_); }
  void flush() {
    if (bits_ > 0) put(0, 16 - bits_);
  }
  void raw_byte(uint8_t b) {
    if (pos_ < capacity_) out_[pos_] = b;
    ++pos_;
  }
  // Bytes produced so far, words only.
  uint32_t size() const { return pos_; }
  bool overflowed() const { return pos_ > capacity_; }

 private:
  void emit(uint16_t w) {
    raw_byte(uint8_t(w));
    raw_byte(uint8_t(w >> 8));
  }

  uint8_t* out_;
  uint32_t capacity_;
  uint32_t pos_ = 0;
  uint64_t acc_ = 0;
  unsigned bits_ = 0;
};

// Canonical codes for given lengths: by increasing length, then by symbol.
void assign_codes(const uint8_t* lens, unsigned n, uint16_t* codes) {
  unsigned count[kMaxCodeLength + 1] = {};
  for (unsigned s = 0; s < n; ++s) ++count[lens[s]];
  count[0] = 0;
  uint32_t next[kMaxCodeLength + 1] = {};
  uint32_t code = 0;
  for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
    code = (code + count[l - 1]) << 1;
    next[l] = code;
  }
  for (unsigned s = 0; s < n; ++s) codes[s] = lens[s] ? uint16_t(next[lens[s]]++) : 0;
}

// ---------------------------------------------------------------------------
// Tree lengths through a pretree. A stream holds one block, so the previous
// lengths are all zero: a length l is sent as the symbol (17 - l) mod 17,
// runs of zeros as 17 or 18, and runs of 4 or 5 equal lengths as 19.

struct LengthToken {
  uint8_t symbol;
  uint8_t extra;   // run length bits of 17, 18 and 19
  uint8_t follow;  // the length symbol after a 19
};

constexpr unsigned kTreeMax = kLiteralSymbols;  // the longest range sent with one pretree

struct LengthPlan {
  LengthToken tokens[kTreeMax];
  unsigned count = 0;
  uint8_t pre_len[kPretreeSymbols] = {};
  uint32_t bits = 0;
};

uint8_t delta_symbol(uint8_t len) { return uint8_t((17 - len) % 17); }

unsigned extra_bits_of(uint8_t symbol) { return symbol == 17 ? 4 : symbol == 18 ? 5 : symbol == 19 ? 1 : 0; }

// First choice of tokens: the longest run wherever one fits.
unsigned greedy_tokens(const uint8_t* lens, unsigned m, LengthToken* out) {
  unsigned count = 0;
  for (unsigned x = 0; x < m;) {
    unsigned same = 1;
    while (x + same < m && lens[x + same] == lens[x]) ++same;
    if (lens[x] == 0 && same >= 20) {
      const unsigned r = std::min(same, 51u);
      out[count++] = {18, uint8_t(r - 20), 0};
      x += r;
    } else if (lens[x] == 0 && same >= 4) {
      const unsigned r = std::min(same, 19u);
      out[count++] = {17, uint8_t(r - 4), 0};
      x += r;
    } else if (same >= 4) {
      const unsigned r = std::min(same, 5u);
      out[count++] = {19, uint8_t(r - 4), delta_symbol(lens[x])};
      x += r;
    } else {
      out[count++] = {delta_symbol(lens[x]), 0, 0};
      ++x;
    }
  }
  return count;
}

// Cheapest tokens under the given pretree lengths (absent symbols priced high).
unsigned cheapest_tokens(const uint8_t* lens, unsigned m, const uint8_t* pre_len, LengthToken* out) {
  uint32_t price[kPretreeSymbols];
  for (unsigned s = 0; s < kPretreeSymbols; ++s) price[s] = pre_len[s] ? pre_len[s] : 12;
  uint32_t best[kTreeMax + 1];
  LengthToken choice[kTreeMax];
  uint8_t step[kTreeMax];
  best[m] = 0;
  unsigned same = 0;
  for (unsigned x = m; x-- > 0;) {
    same = (x + 1 < m && lens[x + 1] == lens[x]) ? same + 1 : 1;
    const uint8_t d = delta_symbol(lens[x]);
    best[x] = best[x + 1] + price[d];
    choice[x] = {d, 0, 0};
    step[x] = 1;
    auto consider = [&](uint32_t cost, unsigned r, LengthToken t) {
      if (cost < best[x]) {
        best[x] = cost;
        choice[x] = t;
        step[x] = uint8_t(r);
      }
    };
    if (lens[x] == 0) {
      for (unsigned r = 4; r <= std::min(same, 19u); ++r)
        consider(price[17] + 4 + best[x + r], r, {17, uint8_t(r - 4), 0});
      for (unsigned r = 20; r <= std::min(same, 51u); ++r)
        consider(price[18] + 5 + best[x + r], r, {18, uint8_t(r - 20), 0});
    }
    for (unsigned r = 4; r <= std::min(same, 5u); ++r)
      consider(price[19] + 1 + price[d] + best[x + r], r, {19, uint8_t(r - 4), d});
  }
  unsigned count = 0;
  for (unsigned x = 0; x < m; x += step[x]) out[count++] = choice[x];
  return count;
}

// Builds the pretree for a token list and the exact bit count of the part.
void finish_plan(LengthPlan& p) {
  uint32_t freq[kPretreeSymbols] = {};
  for (unsigned i = 0; i < p.count; ++i) {
    ++freq[p.tokens[i].symbol];
    if (p.tokens[i].symbol == 19) ++freq[p.tokens[i].follow];
  }
  detail::build_code_lengths(freq, kPretreeSymbols, kPretreeLimit, p.pre_len);
  p.bits = 4 * kPretreeSymbols;
  for (unsigned i = 0; i < p.count; ++i) {
    const LengthToken& t = p.tokens[i];
    p.bits += p.pre_len[t.symbol] + extra_bits_of(t.symbol);
    if (t.symbol == 19) p.bits += p.pre_len[t.follow];
  }
}

// The quick plan takes the greedy tokens only; the full one then searches
// for cheaper tokens under the pretree of the previous choice.
void plan_lengths(const uint8_t* lens, unsigned m, bool quick, LengthPlan& plan) {
  plan.count = greedy_tokens(lens, m, plan.tokens);
  finish_plan(plan);
  if (quick) return;
  LengthPlan trial;
  for (int round = 0; round < 2; ++round) {
    trial.count = cheapest_tokens(lens, m, plan.pre_len, trial.tokens);
    finish_plan(trial);
    if (trial.bits >= plan.bits) break;
    plan = trial;
  }
}

void write_lengths(BitWriter& bw, const LengthPlan& plan) {
  uint16_t codes[kPretreeSymbols];
  assign_codes(plan.pre_len, kPretreeSymbols, codes);
  for (unsigned s = 0; s < kPretreeSymbols; ++s) bw.put(plan.pre_len[s], 4);
  for (unsigned i = 0; i < plan.count; ++i) {
    const LengthToken& t = plan.tokens[i];
    bw.put(codes[t.symbol], plan.pre_len[t.symbol]);
    bw.put(t.extra, extra_bits_of(t.symbol));
    if (t.symbol == 19) bw.put(codes[t.follow], plan.pre_len[t.follow]);
  }
}

// ---------------------------------------------------------------------------
// One block: matches, parse, trees and output.

struct Match {
  uint16_t length;
  uint16_t distance;
};

// One step of a parse: a literal (length 1) or a match whose code is the
// repeated offset used (0 to 2) or the formatted offset (3 and up).
struct Step {
  uint16_t length;
  uint16_t code;
};

// Slots that offsets within one block can use.
constexpr unsigned kUsedSlots = kSlotOf[kFormattedLimit - 1] + 1u;

struct Prices {
  uint32_t main[kMainSymbols];
  uint32_t length[kLengthSymbols];
  uint32_t offset[kFormattedLimit];  // extra bits and aligned symbol of a formatted offset
  // Main and length symbol of a match by slot and length, from the above.
  uint32_t match[kUsedSlots][kMaxMatch + 1];

  void tabulate() {
    for (unsigned slot = 0; slot < kUsedSlots; ++slot) {
      const uint32_t* sym = main + kLiteralSymbols + slot * 8;
      for (uint32_t len = kMinMatch; len < kMinMatch + kNumPrimaryLengths; ++len) match[slot][len] = sym[len - kMinMatch];
      for (uint32_t len = kMinMatch + kNumPrimaryLengths; len <= kMaxMatch; ++len)
        match[slot][len] = sym[kNumPrimaryLengths] + length[len - kMinMatch - kNumPrimaryLengths];
    }
  }
};

struct Trees {
  uint8_t main_len[kMainSymbols];
  uint8_t length_len[kLengthSymbols];
  uint8_t aligned_len[kAlignedSymbols];
  uint16_t main_code[kMainSymbols];
  uint16_t length_code[kLengthSymbols];
  uint16_t aligned_code[kAlignedSymbols];
  LengthPlan plans[3];
};

class BlockEncoder {
 public:
  BlockEncoder() { matches_.reserve(kBlockSize * 4); }

  // Encodes n bytes (1 to kBlockSize) as one LZX stream into out, which
  // holds detail::kMaxStreamBytes. Returns the stream's length. Block type 0
  // picks the smallest block, any other forces that type.
  uint32_t encode(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out);

 private:
  struct Stats {
    uint32_t main_freq[kMainSymbols];
    uint32_t length_freq[kLengthSymbols];
    uint32_t aligned_freq[kAlignedSymbols];
    uint32_t verbatim_bits;  // offset bits of a verbatim block
    uint32_t aligned_bits;   // offset bits of an aligned block, aligned symbols aside
    bool any_aligned;
  };
  // How the best path found so far reaches a position.
  struct Link {
    uint16_t length;
    uint16_t code;
    uint16_t rep[3];  // the repeated offsets after it
  };
  static constexpr uint32_t kUnreached = ~0u;

  void find_matches();
  void parse(const Prices& prices);
  void count_steps(Stats& st) const;
  static void build_trees(const Stats& st, bool quick, Trees& t);
  static uint32_t block_bytes(const Stats& st, const Trees& t, bool aligned);
  uint32_t write_block(Trees& t, bool aligned, uint8_t* out) const;
  uint32_t write_uncompressed(uint8_t* out) const;
  static void prices_from_trees(const Trees& t, bool aligned, Prices& p);
  struct Choice {
    uint32_t length;
    uint32_t code;
  };
  Choice longest_at(uint32_t i, const uint16_t* rep) const;
  void lazy_parse();

  static uint32_t hash2(const uint8_t* p) { return (p[0] | p[1] << 8) * 2654435761u >> (32 - kHashBits); }
  static uint32_t hash3(const uint8_t* p) {
    return (p[0] | p[1] << 8 | p[2] << 16) * 2654435761u >> (32 - kHashBits);
  }

  uint32_t n_ = 0;
  uint8_t data_[kBlockSize + 16];  // the block after E8 preprocessing, zero padded
  int16_t head2_[1u << kHashBits];
  int16_t head3_[1u << kHashBits];
  int16_t chain_[kBlockSize];
  uint32_t first_match_[kBlockSize + 1];
  std::vector<Match> matches_;
  uint32_t cost_[kBlockSize + 1];
  Link link_[kBlockSize + 1];
  std::vector<Step> steps_, best_steps_;
  Stats stats_;
  Prices prices_;
  Trees trees_;
  uint8_t scratch_[kMaxStreamBytes];
};

// Lists for every position matches of increasing length (and distance): the
// nearest 2-byte match, then longer ones along the 3-byte hash chain. After a
// match of kNiceLength or more, positions inside it are only indexed.
void BlockEncoder::find_matches() {
  std::fill(std::begin(head2_), std::end(head2_), int16_t(-1));
  std::fill(std::begin(head3_), std::end(head3_), int16_t(-1));
  matches_.clear();
  uint32_t skip_until = 0;
  for (uint32_t pos = 0; pos < n_; ++pos) {
    first_match_[pos] = uint32_t(matches_.size());
    const uint32_t avail = n_ - pos;
    if (avail < kMinMatch) continue;
    const uint8_t* p = data_ + pos;
    const uint32_t h2 = hash2(p);
    const int near = head2_[h2];
    head2_[h2] = int16_t(pos);
    int cand = -1;
    if (avail >= 3) {
      const uint32_t h3 = hash3(p);
      cand = head3_[h3];
      chain_[pos] = int16_t(cand);
      head3_[h3] = int16_t(pos);
    }
    if (pos < skip_until) continue;
    const uint32_t limit = std::min(kMaxMatch, avail);
    uint32_t best = 1;
    if (near >= 0 && data_[near] == p[0] && data_[near + 1] == p[1]) {
      best = match_length(p, data_ + near, limit);
      matches_.push_back({uint16_t(best), uint16_t(pos - near)});
    }
    for (unsigned depth = kChainDepth; cand >= 0 && depth > 0 && best < limit; cand = chain_[cand], --depth) {
      const uint8_t* q = data_ + cand;
      if (q[best] != p[best] || q[0] != p[0]) continue;
      const uint32_t l = match_length(p, q, limit);
      if (l > best) {
        best = l;
        matches_.push_back({uint16_t(l), uint16_t(pos - cand)});
        if (best >= kNiceLength) break;
      }
    }
    if (best >= kNiceLength) skip_until = pos + best;
  }
  first_match_[n_] = uint32_t(matches_.size());
}

// Shortest path from position 0 to n_ where edges are literals and matches
// priced in bits. Each position keeps the repeated offsets of the best path
// that reaches it. The result goes to steps_, in order.
void BlockEncoder::parse(const Prices& pr) {
  cost_[0] = 0;
  link_[0] = {0, 0, {1, 1, 1}};
  std::fill(cost_ + 1, cost_ + n_ + 1, kUnreached);

  auto relax = [this](uint32_t j, uint32_t cost, uint32_t length, uint32_t code, uint16_t r0, uint16_t r1,
                      uint16_t r2) {
    if (cost < cost_[j]) {
      cost_[j] = cost;
      link_[j] = {uint16_t(length), uint16_t(code), {r0, r1, r2}};
    }
  };

  uint32_t skip_until = 0;
  for (uint32_t i = 0; i < n_; ++i) {
    const uint32_t base = cost_[i];
    if (base == kUnreached || i < skip_until) continue;
    const uint16_t r0 = link_[i].rep[0], r1 = link_[i].rep[1], r2 = link_[i].rep[2];
    relax(i + 1, base + pr.main[data_[i]], 1, data_[i], r0, r1, r2);
    const uint32_t avail = n_ - i;
    if (avail < kMinMatch) continue;
    const uint32_t limit = std::min(kMaxMatch, avail);
    const uint8_t* p = data_ + i;

    // Repeated offsets, each distinct one once.
    uint32_t rep_len[3] = {0, 0, 0};
    if (r0 <= i) rep_len[0] = match_length(p, p - r0, limit);
    if (r1 != r0 && r1 <= i) rep_len[1] = match_length(p, p - r1, limit);
    if (r2 != r0 && r2 != r1 && r2 <= i) rep_len[2] = match_length(p, p - r2, limit);
    uint32_t longest = 0, longest_code = 0;
    for (unsigned k = 0; k < 3; ++k)
      if (rep_len[k] > longest) longest = rep_len[k], longest_code = k;
    const Match* m = matches_.data() + first_match_[i];
    const Match* m_end = matches_.data() + first_match_[i + 1];
    if (m != m_end && m_end[-1].length > longest) longest = m_end[-1].length, longest_code = m_end[-1].distance + 2u;

    if (longest >= kNiceLength) {
      // Take a long match whole and do not branch inside it.
      if (longest_code == 0) {
        relax(i + longest, base + pr.match[0][longest], longest, 0, r0, r1, r2);
      } else if (longest_code == 1) {
        relax(i + longest, base + pr.match[1][longest], longest, 1, r1, r0, r2);
      } else if (longest_code == 2) {
        relax(i + longest, base + pr.match[2][longest], longest, 2, r2, r1, r0);
      } else {
        const uint32_t cost = base + pr.match[kSlotOf[longest_code]][longest] + pr.offset[longest_code];
        relax(i + longest, cost, longest, longest_code, uint16_t(longest_code - 2), r0, r1);
      }
      skip_until = i + longest;
      continue;
    }

    for (uint32_t len = kMinMatch; len <= rep_len[0]; ++len) relax(i + len, base + pr.match[0][len], len, 0, r0, r1, r2);
    for (uint32_t len = kMinMatch; len <= rep_len[1]; ++len) relax(i + len, base + pr.match[1][len], len, 1, r1, r0, r2);
    for (uint32_t len = kMinMatch; len <= rep_len[2]; ++len) relax(i + len, base + pr.match[2][len], len, 2, r2, r1, r0);
    uint32_t shorter = 1;
    for (; m != m_end; ++m) {
      const uint16_t d = m->distance;
      if (d == r0 || d == r1 || d == r2) {
        shorter = m->length;  // the repeated offset covers these lengths
        continue;
      }
      const uint32_t f = d + 2u;
      const uint32_t* price = pr.match[kSlotOf[f]];
      const uint32_t off = base + pr.offset[f];
      for (uint32_t len = shorter + 1; len <= m->length; ++len) relax(i + len, off + price[len], len, f, d, r0, r1);
      shorter = m->length;
    }
  }

  steps_.clear();
  for (uint32_t j = n_; j > 0; j -= link_[j].length) steps_.push_back({link_[j].length, link_[j].code});
  std::reverse(steps_.begin(), steps_.end());
}

// The longest match at i, preferring a repeated offset that is at most one
// byte shorter; length 0 when there is none worth a literal's place.
BlockEncoder::Choice BlockEncoder::longest_at(uint32_t i, const uint16_t* rep) const {
  Choice best{0, 0};
  if (n_ - i < kMinMatch) return best;
  const uint32_t limit = std::min(kMaxMatch, n_ - i);
  const uint8_t* p = data_ + i;
  for (unsigned k = 0; k < 3; ++k) {
    if (rep[k] > i) continue;
    const uint32_t len = match_length(p, p - rep[k], limit);
    if (len > best.length) best = {len, k};
  }
  const uint32_t first = first_match_[i], end = first_match_[i + 1];
  if (first != end) {
    const Match& m = matches_[end - 1];
    if (m.length >= 3 && m.length > best.length + 1) best = {m.length, m.distance + 2u};
  }
  return best;
}

// A quick first parse that gives the shortest-path passes their first
// prices: the longest match unless the next position has a longer one.
void BlockEncoder::lazy_parse() {
  steps_.clear();
  uint16_t rep[3] = {1, 1, 1};
  for (uint32_t i = 0; i < n_;) {
    const Choice c = longest_at(i, rep);
    if (c.length < kMinMatch || (c.length < kNiceLength && i + 1 < n_ && longest_at(i + 1, rep).length > c.length)) {
      steps_.push_back({1, data_[i]});
      ++i;
      continue;
    }
    steps_.push_back({uint16_t(c.length), uint16_t(c.code)});
    if (c.code == 1) std::swap(rep[0], rep[1]);
    else if (c.code == 2) std::swap(rep[0], rep[2]);
    else if (c.code >= 3) rep[2] = rep[1], rep[1] = rep[0], rep[0] = uint16_t(c.code - 2);
    i += c.length;
  }
}

uint32_t main_symbol_of(const Step& s) {
  const uint32_t slot = s.code < 3 ? s.code : kSlotOf[s.code];
  return kLiteralSymbols + slot * 8 + std::min<uint32_t>(s.length - kMinMatch, kNumPrimaryLengths);
}

// Counts the symbols of the current parse and the offset bits they need
// outside the trees.
void BlockEncoder::count_steps(Stats& st) const {
  st = Stats{};
  for (const Step& s : steps_) {
    if (s.length == 1) {
      ++st.main_freq[s.code];
      continue;
    }
    ++st.main_freq[main_symbol_of(s)];
    if (s.length >= kMinMatch + kNumPrimaryLengths) ++st.length_freq[s.length - 9];
    if (s.code < 3) continue;
    const unsigned extra = kExtraBits[kSlotOf[s.code]];
    st.verbatim_bits += extra;
    if (extra >= 3) {
      ++st.aligned_freq[s.code & 7];
      st.any_aligned = true;
      st.aligned_bits += extra - 3;
    } else {
      st.aligned_bits += extra;
    }
  }
}

void BlockEncoder::build_trees(const Stats& st, bool quick, Trees& t) {
  detail::build_code_lengths(st.main_freq, kMainSymbols, kMainLimit, t.main_len);
  detail::build_code_lengths(st.length_freq, kLengthSymbols, kMainLimit, t.length_len);
  detail::build_code_lengths(st.aligned_freq, kAlignedSymbols, kAlignedLimit, t.aligned_len);
  if (!st.any_aligned) std::fill(std::begin(t.aligned_len), std::end(t.aligned_len), uint8_t(3));
  plan_lengths(t.main_len, kLiteralSymbols, quick, t.plans[0]);
  plan_lengths(t.main_len + kLiteralSymbols, kMainSymbols - kLiteralSymbols, quick, t.plans[1]);
  plan_lengths(t.length_len, kLengthSymbols, quick, t.plans[2]);
}

// The length in bytes of the stream that write_block would produce.
uint32_t BlockEncoder::block_bytes(const Stats& st, const Trees& t, bool aligned) {
  uint64_t bits = 1 + 32 + 3 + 24 + t.plans[0].bits + t.plans[1].bits + t.plans[2].bits;
  for (unsigned s = 0; s < kMainSymbols; ++s) bits += uint64_t(st.main_freq[s]) * t.main_len[s];
  for (unsigned s = 0; s < kLengthSymbols; ++s) bits += uint64_t(st.length_freq[s]) * t.length_len[s];
  if (aligned) {
    bits += 3 * kAlignedSymbols + st.aligned_bits;
    for (unsigned s = 0; s < kAlignedSymbols; ++s) bits += uint64_t(st.aligned_freq[s]) * t.aligned_len[s];
  } else {
    bits += st.verbatim_bits;
  }
  return uint32_t((bits + 15) / 16 * 2);
}

void write_stream_header(BitWriter& bw, unsigned type, uint32_t n) {
  bw.put(1, 1);  // E8 translation on
  bw.put(uint32_t(kE8TranslationSize), 32);
  bw.put(type, 3);
  bw.put(n, 24);
}

// Writes the stream as one verbatim or aligned offset block. Returns its
// length, or 0 if it would not fit in kMaxStreamBytes.
uint32_t BlockEncoder::write_block(Trees& t, bool aligned, uint8_t* out) const {
  assign_codes(t.main_len, kMainSymbols, t.main_code);
  assign_codes(t.length_len, kLengthSymbols, t.length_code);
  assign_codes(t.aligned_len, kAlignedSymbols, t.aligned_code);
  BitWriter bw(out, kMaxStreamBytes);
  write_stream_header(bw, aligned ? kBlockAligned : kBlockVerbatim, n_);
  if (aligned)
    for (unsigned s = 0; s < kAlignedSymbols; ++s) bw.put(t.aligned_len[s], 3);
  for (const LengthPlan& plan : t.plans) write_lengths(bw, plan);
  for (const Step& s : steps_) {
    if (bw.overflowed()) return 0;
    if (s.length == 1) {
      bw.put(t.main_code[s.code], t.main_len[s.code]);
      continue;
    }
    const uint32_t sym = main_symbol_of(s);
    bw.put(t.main_code[sym], t.main_len[sym]);
    if (s.length >= kMinMatch + kNumPrimaryLengths)
      bw.put(t.length_code[s.length - 9], t.length_len[s.length - 9]);
    if (s.code < 3) continue;
    const unsigned slot = kSlotOf[s.code];
    const unsigned extra = kExtraBits[slot];
    const uint32_t v = s.code - kPositionBase[slot];
    if (aligned && extra >= 3) {
      bw.put(v >> 3, extra - 3);
      bw.put(t.aligned_code[v & 7], t.aligned_len[v & 7]);
    } else {
      bw.put(v, extra);
    }
  }
  bw.flush();
  return bw.overflowed() ? 0 : bw.size();
}

uint32_t BlockEncoder::write_uncompressed(uint8_t* out) const {
  BitWriter bw(out, kMaxStreamBytes);
  write_stream_header(bw, kBlockUncompressed, n_);
  bw.align_with_padding();
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 4; ++b) bw.raw_byte(b == 0 ? 1 : 0);  // R0 = R1 = R2 = 1
  for (uint32_t i = 0; i < n_; ++i) bw.raw_byte(data_[i]);
  if (n_ & 1) bw.raw_byte(0);
  return bw.size();
}

// Symbols absent from a code are priced as if they were rare, since using
// one also lengthens the tree.
void BlockEncoder::prices_from_trees(const Trees& t, bool aligned, Prices& p) {
  for (unsigned s = 0; s < kMainSymbols; ++s) p.main[s] = t.main_len[s] ? t.main_len[s] : 11;
  for (unsigned s = 0; s < kLengthSymbols; ++s) p.length[s] = t.length_len[s] ? t.length_len[s] : 12;
  for (uint32_t f = 3; f < kFormattedLimit; ++f) {
    const unsigned extra = kExtraBits[kSlotOf[f]];
    if (aligned && extra >= 3) p.offset[f] = extra - 3 + (t.aligned_len[f & 7] ? t.aligned_len[f & 7] : 6);
    else p.offset[f] = extra;
  }
  p.tabulate();
}

uint32_t BlockEncoder::encode(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out) {
  n_ = n;
  std::memcpy(data_, src, n);
  std::memset(data_ + n, 0, sizeof data_ - n);
  detail::e8_encode(data_, n);

  const uint32_t raw = write_uncompressed(out);
  if (block_type == kBlockUncompressed) return raw;
  const bool try_verbatim = block_type != kBlockAligned, try_aligned = block_type != kBlockVerbatim;
  // Every pass is sized with quick tree plans; only the best one is written.
  uint32_t best = block_type == 0 ? raw : ~0u;
  bool best_aligned = false;
  find_matches();
  for (unsigned pass = 0; pass <= kParsePasses; ++pass) {
    if (pass == 0) lazy_parse();
    else parse(prices_);
    count_steps(stats_);
    build_trees(stats_, true, trees_);
    const uint32_t verbatim = try_verbatim ? block_bytes(stats_, trees_, false) : ~0u;
    const uint32_t aligned = try_aligned && (stats_.any_aligned || !try_verbatim) ? block_bytes(stats_, trees_, true) : ~0u;
    const bool aligned_won = aligned < verbatim;
    const uint32_t size = std::min(verbatim, aligned);
    if (size < best) {
      best = size;
      best_aligned = aligned_won;
      best_steps_.swap(steps_);
    }
    // When not even the lazy parse beats an uncompressed block, the data is
    // close to incompressible: keep that block and skip the passes.
    if (pass == 0 && block_type == 0 && size >= raw) break;
    if (pass < kParsePasses) prices_from_trees(trees_, aligned_won, prices_);
  }
  if (best == raw) return raw;
  steps_.swap(best_steps_);
  count_steps(stats_);
  build_trees(stats_, false, trees_);
  const uint32_t size = write_block(trees_, best_aligned, scratch_);
  if (block_type == 0 && (size == 0 || size >= raw)) return raw;
  std::memcpy(out, scratch_, size);
  return size;
}

}  // namespace

namespace detail {

void build_code_lengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lens) {
  std::fill_n(lens, n, uint8_t(0));
  // Used symbols by increasing count (ties by symbol), as count << 16 | symbol.
  uint64_t key[kMainSymbols];
  unsigned m = 0;
  for (unsigned s = 0; s < n; ++s)
    if (freq[s] != 0) key[m++] = uint64_t(freq[s]) << 16 | s;
  if (m == 0) return;
  if (m == 1) {
    const unsigned only = unsigned(key[0] & 0xFFFF);
    lens[only] = 1;
    lens[only == 0 ? 1 : 0] = 1;
    return;
  }
  std::sort(key, key + m);
  uint16_t order[kMainSymbols];
  for (unsigned i = 0; i < m; ++i) order[i] = uint16_t(key[i] & 0xFFFF);

  // A Huffman code first: leaves are nodes 0 to m - 1, internal nodes m and
  // up in the order they are made, which is also increasing weight, so two
  // queues replace a heap.
  {
    uint64_t weight[2 * kMainSymbols];
    uint16_t parent[2 * kMainSymbols];
    for (unsigned i = 0; i < m; ++i) weight[i] = key[i] >> 16;
    unsigned leaf = 0, inner = m;
    for (unsigned node = m; node < 2 * m - 1; ++node) {
      uint64_t sum = 0;
      for (int pick = 0; pick < 2; ++pick) {
        const bool take_leaf = leaf < m && (inner == node || weight[leaf] <= weight[inner]);
        const unsigned child = take_leaf ? leaf++ : inner++;
        sum += weight[child];
        parent[child] = uint16_t(node);
      }
      weight[node] = sum;
    }
    uint8_t depth[2 * kMainSymbols];
    depth[2 * m - 2] = 0;
    unsigned deepest = 0;
    for (unsigned node = 2 * m - 2; node-- > 0;) {
      depth[node] = uint8_t(depth[parent[node]] + 1);
      deepest = std::max<unsigned>(deepest, depth[node]);
    }
    if (deepest <= limit) {
      for (unsigned i = 0; i < m; ++i) lens[order[i]] = depth[i];
      return;
    }
  }

  // Package-merge. Level 0 holds the leaves; every higher level merges the
  // leaves with the pairs ("packages") of the level below. Only whether each
  // item is a leaf needs keeping: leaves enter every list in the same order.
  constexpr unsigned kMaxItems = 2 * kMainSymbols;
  static_assert(kMaxCodeLength <= 16);
  uint64_t below[kMaxItems], here[kMaxItems];
  bool is_leaf[kMaxCodeLength][kMaxItems];
  unsigned size[kMaxCodeLength];
  for (unsigned i = 0; i < m; ++i) below[i] = freq[order[i]], is_leaf[0][i] = true;
  size[0] = m;
  for (unsigned level = 1; level < limit; ++level) {
    const unsigned packages = size[level - 1] / 2;
    unsigned i = 0, j = 0, k = 0;
    while (i < m || j < packages) {
      const uint64_t pw = j < packages ? below[2 * j] + below[2 * j + 1] : 0;
      if (j == packages || (i < m && freq[order[i]] <= pw)) {
        here[k] = freq[order[i++]];
        is_leaf[level][k++] = true;
      } else {
        here[k] = pw;
        is_leaf[level][k++] = false;
        ++j;
      }
    }
    size[level] = k;
    std::copy(here, here + k, below);
  }
  // The 2m - 2 cheapest items of the top level make the code; a leaf's length
  // is the number of levels at which it is among the items taken.
  uint8_t depth[kMainSymbols] = {};
  unsigned take = 2 * m - 2;
  for (unsigned level = limit; level-- > 0 && take > 0;) {
    unsigned leaves = 0;
    for (unsigned x = 0; x < take; ++x) leaves += is_leaf[level][x];
    for (unsigned x = 0; x < leaves; ++x) ++depth[x];
    take = 2 * (take - leaves);
  }
  for (unsigned i = 0; i < m; ++i) lens[order[i]] = depth[i];
}

uint32_t compress_stream(const uint8_t* src, uint32_t n, unsigned block_type, uint8_t* out) {
  auto encoder = std::make_unique<BlockEncoder>();
  return encoder->encode(src, n, block_type, out);
}

void e8_encode(uint8_t* data, uint32_t n) {
  if (n <= 10) return;
  const int64_t size = kE8TranslationSize;
  for (uint32_t i = 0; i < n - 10;) {
    if (data[i] != 0xE8) {
      ++i;
      continue;
    }
    const int64_t r = int32_t(load_u32(data + i + 1));
    if (r >= -int64_t(i) && r < size) store_u32(data + i + 1, uint32_t(int32_t(r < size - i ? r + i : r - size)));
    i += 5;
  }
}

}  // namespace detail

int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) {
  if (src_len >= kMaxBufferSize || (src == nullptr && src_len != 0) || (dst == nullptr && capacity != 0)) return -1;
  const uint32_t blocks = (src_len + kBlockSize - 1) / kBlockSize;
  const uint64_t table_end = uint64_t(kSizeFieldBytes) * (blocks + 1);
  if (table_end > capacity) return -1;
  store_u24(dst, src_len);
  if (blocks == 0) return int32_t(table_end);

  auto encoder = std::make_unique<BlockEncoder>();
  std::vector<uint8_t> stream(kMaxStreamBytes);
  uint64_t at = table_end;
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t n = std::min(kBlockSize, src_len - k * kBlockSize);
    const uint32_t c = encoder->encode(src + uint64_t(k) * kBlockSize, n, 0, stream.data());
    const uint64_t end = at + kBlockHeaderBytes + c;
    if (end > capacity || end >= kMaxBufferSize) return -1;
    uint8_t* block = dst + at;
    store_u32(block, kBlockHeaderBytes);
    store_u32(block + 4, n);
    store_u32(block + 8, c);
    store_u32(block + 12, n);
    std::memcpy(block + kBlockHeaderBytes, stream.data(), c);
    store_u24(dst + kSizeFieldBytes * (k + 1), uint32_t(end));
    at = end;
  }
  return int32_t(at);
}

}  // namespace lzx
