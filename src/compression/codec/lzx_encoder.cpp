// Compression into framed buffers: a 3-byte size, 3-byte block end offsets,
// and per 4096 bytes a 16-byte header plus one independent LZX stream.
//
// Each block is parsed near-optimally: a hash-chain match finder lists the
// matches at every position, and a shortest-path pass over the block picks
// literals, matches and repeated-offset matches by their cost in bits under
// the Huffman codes of the previous parse. The block is then written as
// whichever of a verbatim, an aligned-offset or an uncompressed LZX block is
// smallest.
#include "lzx_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "lzx_format.h"

namespace lzx {
namespace {

// ---- Bits ----------------------------------------------------------------

// Writes 16-bit little-endian words, filling each from its most significant
// bit, as the decoder reads them.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

  void put(uint32_t value, unsigned n) {  // n <= 32
    if (n == 0) return;
    acc_ = (acc_ << n) | (value & ((uint64_t{1} << n) - 1));
    bits_ += n;
    while (bits_ >= 16) {
      bits_ -= 16;
      const auto word = static_cast<uint16_t>(acc_ >> bits_);
      out_.push_back(static_cast<uint8_t>(word));
      out_.push_back(static_cast<uint8_t>(word >> 8));
    }
    acc_ &= (uint64_t{1} << bits_) - 1;
  }
  // Pads with zero bits to the next word.
  void flush() {
    if (bits_ != 0) put(0, 16 - bits_);
  }
  // The 1 to 16 bits that lead to the raw bytes of an uncompressed block.
  void pad_for_raw_bytes() { put(0, 16 - bits_); }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  unsigned bits_ = 0;
};

// ---- Huffman codes -------------------------------------------------------

// Code lengths for the given symbol counts, at most max_length bits, forming
// a complete code whenever any symbol is used (a lone symbol gets a partner,
// since incomplete codes are refused by decoders).
void build_lengths(const uint32_t* freq, unsigned n, unsigned max_length, uint8_t* lengths) {
  std::fill(lengths, lengths + n, uint8_t{0});
  std::vector<uint32_t> weights(freq, freq + n);
  unsigned used = 0;
  for (unsigned s = 0; s < n; ++s) used += weights[s] != 0;
  if (used == 0) return;
  if (used == 1) {
    for (unsigned s = 0; s < n; ++s)
      if (weights[s] != 0) {
        lengths[s] = 1;
        lengths[s == 0 ? 1 : 0] = 1;
      }
    return;
  }
  // Huffman by the two-queue method over the used symbols sorted by count:
  // leaves and merged nodes each come out in increasing weight.
  std::vector<uint32_t> order;
  std::vector<uint64_t> weight(2 * n);
  std::vector<int> parent(2 * n);
  for (;;) {
    order.clear();
    for (unsigned s = 0; s < n; ++s)
      if (weights[s] != 0) order.push_back(s);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return weights[a] < weights[b]; });
    const unsigned leaves = static_cast<unsigned>(order.size());
    for (unsigned i = 0; i < leaves; ++i) weight[i] = weights[order[i]];
    unsigned next_leaf = 0, next_node = leaves, end_node = leaves;
    auto take = [&]() {
      if (next_leaf < leaves && (next_node >= end_node || weight[next_leaf] <= weight[next_node])) return next_leaf++;
      return next_node++;
    };
    while (end_node < 2 * leaves - 1) {
      const unsigned a = take(), b = take();
      weight[end_node] = weight[a] + weight[b];
      parent[a] = parent[b] = static_cast<int>(end_node);
      ++end_node;
    }
    // Depths from the root down: every parent comes after its children.
    std::vector<unsigned> depth(end_node, 0);
    unsigned deepest = 0;
    for (int i = static_cast<int>(end_node) - 2; i >= 0; --i) {
      depth[i] = depth[parent[i]] + 1;
      if (static_cast<unsigned>(i) < leaves) deepest = std::max(deepest, depth[i]);
    }
    if (deepest <= max_length) {
      for (unsigned i = 0; i < leaves; ++i) lengths[order[i]] = static_cast<uint8_t>(depth[i]);
      return;
    }
    // Too deep: flatten the counts and build again.
    for (uint32_t& w : weights)
      if (w != 0) w = (w >> 1) | 1;
  }
}

// Canonical codes: by increasing length, then by increasing symbol.
void build_codes(const uint8_t* lengths, unsigned n, uint16_t* codes) {
  unsigned count[kMaxCodeLength + 1] = {};
  for (unsigned s = 0; s < n; ++s) ++count[lengths[s]];
  count[0] = 0;
  uint32_t next[kMaxCodeLength + 2] = {};
  uint32_t code = 0;
  for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
    code = (code + count[l - 1]) << 1;
    next[l] = code;
  }
  for (unsigned s = 0; s < n; ++s)
    if (lengths[s] != 0) codes[s] = static_cast<uint16_t>(next[lengths[s]]++);
}

template <unsigned N>
struct Tree {
  uint32_t freq[N] = {};
  uint8_t len[N] = {};
  uint16_t code[N] = {};
  void build(unsigned max_length) {
    build_lengths(freq, N, max_length, len);
    build_codes(len, N, code);
  }
  void put(BitWriter& w, unsigned symbol) const { w.put(code[symbol], len[symbol]); }
};

// The lengths[first, last) of a tree as they are sent: pretree symbols for
// deltas against all-zero previous lengths (every stream has one block),
// with runs of zeros and of equal lengths shortened, through a pretree of
// their own.
class LengthCoding {
 public:
  LengthCoding(const uint8_t* lengths, unsigned first, unsigned last) {
    auto delta = [](uint8_t len) { return static_cast<uint8_t>((17 - len) % 17); };
    for (unsigned i = first; i < last;) {
      unsigned run = 1;
      while (i + run < last && lengths[i + run] == lengths[i]) ++run;
      if (lengths[i] == 0 && run >= 20) {
        run = std::min(run, 51u);
        ops_.push_back({18, 5, static_cast<uint8_t>(run - 20), 0});
      } else if (lengths[i] == 0 && run >= 4) {
        ops_.push_back({17, 4, static_cast<uint8_t>(run - 4), 0});
      } else if (run >= 4) {
        run = std::min(run, 5u);
        ops_.push_back({19, 1, static_cast<uint8_t>(run - 4), delta(lengths[i])});
      } else {
        run = 1;
        ops_.push_back({delta(lengths[i]), 0, 0, 0});
      }
      i += run;
    }
    for (const Op& op : ops_) {
      ++pretree_.freq[op.symbol];
      if (op.symbol == 19) ++pretree_.freq[op.then];
    }
    pretree_.build(15);  // pretree lengths are sent in 4 bits
  }

  uint64_t bits() const {
    uint64_t bits = 4 * kPretreeSymbols;
    for (const Op& op : ops_) {
      bits += pretree_.len[op.symbol] + op.extra_bits;
      if (op.symbol == 19) bits += pretree_.len[op.then];
    }
    return bits;
  }

  void write(BitWriter& w) const {
    for (unsigned s = 0; s < kPretreeSymbols; ++s) w.put(pretree_.len[s], 4);
    for (const Op& op : ops_) {
      pretree_.put(w, op.symbol);
      w.put(op.extra, op.extra_bits);
      if (op.symbol == 19) pretree_.put(w, op.then);
    }
  }

 private:
  struct Op {
    uint8_t symbol, extra_bits, extra;
    uint8_t then;  // the pretree symbol after a 19
  };
  std::vector<Op> ops_;
  Tree<kPretreeSymbols> pretree_;
};

// ---- Position slots ------------------------------------------------------

unsigned slot_of(uint32_t formatted) {
  unsigned s = 0;
  while (s + 1 < kPositionSlots && kPositionBase[s + 1] <= formatted) ++s;
  return s;
}

struct SlotTable {
  std::array<uint8_t, kBlockSize + 3> slot{};  // by formatted offset (offset + 2)
  SlotTable() {
    for (uint32_t f = 0; f < slot.size(); ++f) slot[f] = static_cast<uint8_t>(slot_of(f));
  }
};
const SlotTable kSlots;

// ---- Parsing -------------------------------------------------------------

// One step of a parse: a literal (length 1), or a match of length 2..257
// whose offset is either repeated offset rep (0..2) or an explicit offset.
struct Step {
  uint16_t length;
  int8_t rep;       // -1 for a literal or an explicit offset
  uint32_t offset;  // explicit offset
};

// Bit costs of the symbols under some code.
struct Costs {
  uint32_t literal[256];
  uint32_t main_match[8 * kPositionSlots];  // by slot * 8 + length header
  uint32_t length[kLengthSymbols];
  uint32_t aligned[kAlignedSymbols];
  bool aligned_model = false;  // price offsets as an aligned-offset block sends them

  void estimate() {
    std::fill(std::begin(aligned), std::end(aligned), 3u);
    std::fill(std::begin(literal), std::end(literal), 9u);
    for (unsigned i = 0; i < 8 * kPositionSlots; ++i) main_match[i] = (i >> 3) < 3 ? 5 : 8;
    std::fill(std::begin(length), std::end(length), 3u);
    tabulate();
  }
  void from(const uint8_t* main_len, const uint8_t* length_len, const uint8_t* aligned_len, bool aligned_offsets) {
    aligned_model = aligned_offsets;
    for (unsigned i = 0; i < kAlignedSymbols; ++i) aligned[i] = aligned_len[i] ? aligned_len[i] : 5;
    // Symbols the last code did not use get a cost as if rarely used.
    for (unsigned i = 0; i < 256; ++i) literal[i] = main_len[i] ? main_len[i] : 13;
    for (unsigned i = 0; i < 8 * kPositionSlots; ++i) main_match[i] = main_len[256 + i] ? main_len[256 + i] : 10;
    for (unsigned i = 0; i < kLengthSymbols; ++i) length[i] = length_len[i] ? length_len[i] : 7;
    tabulate();
  }
  // Main symbol and length bits of a match, by slot and length: a table the
  // parse reads for every match it weighs.
  uint32_t by_length[kPositionSlots][kMaxMatch + 1];
  void tabulate() {
    for (unsigned slot = 0; slot < kPositionSlots; ++slot)
      for (unsigned len = kMinMatch; len <= kMaxMatch; ++len) {
        const unsigned header = std::min(len - kMinMatch, kNumPrimaryLengths);
        uint32_t cost = main_match[slot * 8 + header];
        if (header == kNumPrimaryLengths) cost += length[len - kMinMatch - kNumPrimaryLengths];
        by_length[slot][len] = cost;
      }
  }
  uint32_t match(unsigned slot, unsigned length_value) const { return by_length[slot][length_value]; }
  // The bits after the main symbol that give an explicit offset.
  uint32_t offset_bits(unsigned slot, uint32_t formatted) const {
    const unsigned extra = kExtraBits[slot];
    if (!aligned_model || extra < 3) return extra;
    return extra - 3 + aligned[(formatted - kPositionBase[slot]) & 7];
  }
};

constexpr unsigned kHashBits = 12;
constexpr unsigned kChainDepth = 32;
constexpr unsigned kNiceLength = 96;
constexpr int kPasses = 3;

struct Candidate {
  uint16_t length;
  uint16_t offset;
};

// The lengths of a match that the parse weighs: every one up to
// kDenseLengths, then only the longest.
constexpr uint32_t kDenseLengths = 32;
constexpr uint32_t next_length(uint32_t len, uint32_t longest) {
  return len < kDenseLengths || len == longest ? len + 1 : longest;
}

class Parser {
 public:
  Parser(const uint8_t* data, uint32_t n) : data_(data), n_(n) { find_matches(); }

  std::vector<Step> parse(const Costs& costs) const;
  // A quick parse that takes the longest match at each position, for the
  // first estimate of the codes.
  std::vector<Step> greedy() const;

 private:
  void find_matches();
  // Length of the common prefix of the bytes at a and b, up to limit; eight
  // bytes at a time while whole words fit.
  uint32_t common(uint32_t a, uint32_t b, uint32_t limit) const {
    uint32_t l = 0;
    while (l + 8 <= limit) {
      uint64_t x, y;
      std::memcpy(&x, data_ + a + l, 8);
      std::memcpy(&y, data_ + b + l, 8);
      if (x != y) {
        if constexpr (std::endian::native == std::endian::little) return l + std::countr_zero(x ^ y) / 8;
        break;
      }
      l += 8;
    }
    while (l < limit && data_[a + l] == data_[b + l]) ++l;
    return l;
  }

  const uint8_t* data_;
  uint32_t n_;
  // Per position, the matches of increasing length (each the nearest of its
  // length), as a range in candidates_.
  std::vector<uint32_t> first_;
  std::vector<Candidate> candidates_;
};

void Parser::find_matches() {
  std::vector<int32_t> head(1u << kHashBits, -1);
  std::vector<int32_t> prev(n_, -1);
  first_.assign(n_ + 1, 0);
  auto hash = [this](uint32_t i) {
    uint32_t v = data_[i] | data_[i + 1] << 8 | uint32_t(data_[i + 2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  uint32_t covered_until = 0;  // inside a long match, which the parse takes whole
  for (uint32_t i = 0; i < n_; ++i) {
    first_[i] = static_cast<uint32_t>(candidates_.size());
    if (i + 3 > n_) continue;
    if (i < covered_until) {
      const uint32_t h = hash(i);
      prev[i] = head[h];
      head[h] = static_cast<int32_t>(i);
      continue;
    }
    const uint32_t limit = std::min<uint32_t>(kMaxMatch, n_ - i);
    const uint32_t h = hash(i);
    uint32_t best = 2;
    unsigned depth = 0;
    for (int32_t j = head[h]; j >= 0 && depth < kChainDepth; j = prev[j], ++depth) {
      if (data_[j + best] != data_[i + best] && best < limit) continue;
      uint32_t l = common(static_cast<uint32_t>(j), i, limit);
      if (l > best) {
        best = l;
        candidates_.push_back({static_cast<uint16_t>(l), static_cast<uint16_t>(i - j)});
        if (l == limit) break;
      }
    }
    if (best >= kNiceLength) covered_until = i + best;
    prev[i] = head[h];
    head[h] = static_cast<int32_t>(i);
  }
  first_[n_] = static_cast<uint32_t>(candidates_.size());
}

std::vector<Step> Parser::greedy() const {
  std::vector<Step> steps;
  std::array<uint32_t, 3> reps = {1, 1, 1};
  for (uint32_t i = 0; i < n_;) {
    const uint32_t limit = std::min<uint32_t>(kMaxMatch, n_ - i);
    Step step{1, -1, 0};
    for (int k = 0; k < 3 && limit >= kMinMatch; ++k) {
      if (reps[k] > i) continue;
      const uint32_t l = common(i - reps[k], i, limit);
      if (l >= kMinMatch && l > step.length) step = Step{static_cast<uint16_t>(l), int8_t(k), 0};
    }
    if (first_[i + 1] > first_[i]) {
      const Candidate longest = candidates_[first_[i + 1] - 1];
      if (longest.length > step.length + 1u) step = Step{longest.length, -1, longest.offset};
    }
    if (step.rep >= 0) {
      std::swap(reps[0], reps[step.rep]);
    } else if (step.length > 1) {
      reps = {step.offset, reps[0], reps[1]};
    }
    steps.push_back(step);
    i += step.length;
  }
  return steps;
}

std::vector<Step> Parser::parse(const Costs& costs) const {
  constexpr uint32_t kInfinity = UINT32_MAX;
  struct Node {
    uint32_t cost = kInfinity;
    Step step{};
    std::array<uint32_t, 3> reps{};
  };
  std::vector<Node> node(n_ + 1);
  node[0].cost = 0;
  node[0].reps = {1, 1, 1};
  uint32_t skip_until = 0;  // positions inside a long match are not expanded

  auto relax = [&node](uint32_t to, uint32_t cost, const Step& step, const std::array<uint32_t, 3>& reps) {
    if (cost < node[to].cost) {
      node[to].cost = cost;
      node[to].step = step;
      node[to].reps = reps;
    }
  };

  for (uint32_t i = 0; i < n_; ++i) {
    const Node& here = node[i];
    if (here.cost == kInfinity) continue;
    const uint32_t base = here.cost;
    relax(i + 1, base + costs.literal[data_[i]], Step{1, -1, 0}, here.reps);
    if (i < skip_until) continue;
    const uint32_t limit = std::min<uint32_t>(kMaxMatch, n_ - i);
    if (limit < kMinMatch) continue;

    uint32_t longest = 0;
    for (int k = 0; k < 3; ++k) {
      const uint32_t r = here.reps[k];
      if (r > i) continue;
      const uint32_t l = common(i - r, i, limit);
      if (l < kMinMatch) continue;
      std::array<uint32_t, 3> reps = here.reps;
      std::swap(reps[0], reps[k]);
      for (uint32_t len = kMinMatch; len <= l; len = next_length(len, l))
        relax(i + len, base + costs.match(static_cast<unsigned>(k), len), Step{static_cast<uint16_t>(len), int8_t(k), 0},
              reps);
      longest = std::max(longest, l);
    }
    uint32_t shortest = kMinMatch + 1;  // the finder reports matches of 3 or more
    for (uint32_t c = first_[i]; c < first_[i + 1]; ++c) {
      const Candidate cand = candidates_[c];
      if (cand.offset == here.reps[0] || cand.offset == here.reps[1] || cand.offset == here.reps[2]) {
        shortest = cand.length + 1u;
        continue;
      }
      const unsigned slot = kSlots.slot[cand.offset + 2u];
      const uint32_t extra = costs.offset_bits(slot, cand.offset + 2u);
      const std::array<uint32_t, 3> reps = {cand.offset, here.reps[0], here.reps[1]};
      for (uint32_t len = shortest; len <= cand.length; len = next_length(len, cand.length))
        relax(i + len, base + costs.match(slot, len) + extra, Step{static_cast<uint16_t>(len), -1, cand.offset}, reps);
      shortest = cand.length + 1u;
      longest = std::max<uint32_t>(longest, cand.length);
    }
    if (longest >= kNiceLength) skip_until = i + longest;
  }

  std::vector<Step> steps;
  for (uint32_t at = n_; at > 0; at -= node[at].step.length) steps.push_back(node[at].step);
  std::reverse(steps.begin(), steps.end());
  return steps;
}

// ---- Writing a block -----------------------------------------------------

void write_stream_header(BitWriter& w, unsigned block_type, uint32_t n) {
  w.put(1, 1);  // E8 translation on
  w.put(static_cast<uint32_t>(kE8TranslationSize) >> 16, 16);
  w.put(static_cast<uint32_t>(kE8TranslationSize) & 0xFFFF, 16);
  w.put(block_type, 3);
  w.put(n, 24);
}

struct Coded {
  Tree<kMainSymbols> main;
  Tree<kLengthSymbols> length;
  Tree<kAlignedSymbols> aligned;
  uint64_t verbatim_offset_bits = 0;  // extra bits of explicit offsets, all sent plainly
  uint64_t aligned_offset_bits = 0;   // the same less the three bits an aligned block codes
  bool any_aligned = false;

  // Bytes of the stream a verbatim or aligned block of this parse takes.
  uint64_t stream_bytes(bool aligned_block, uint64_t tree_bits) const {
    uint64_t bits = 1 + 32 + 3 + 24 + tree_bits;
    if (aligned_block) bits += 3 * kAlignedSymbols;
    for (unsigned s = 0; s < kMainSymbols; ++s) bits += uint64_t{main.freq[s]} * main.len[s];
    for (unsigned s = 0; s < kLengthSymbols; ++s) bits += uint64_t{length.freq[s]} * length.len[s];
    if (aligned_block) {
      bits += aligned_offset_bits;
      for (unsigned s = 0; s < kAlignedSymbols; ++s) bits += uint64_t{aligned.freq[s]} * aligned.len[s];
    } else {
      bits += verbatim_offset_bits;
    }
    return (bits + 15) / 16 * 2;
  }
};

// Symbol counts and codes of a parse; the aligned tree counts the low three
// bits of the offsets that an aligned block would send through it.
void count_symbols(const uint8_t* data, const std::vector<Step>& steps, Coded& coded) {
  std::array<uint32_t, 3> reps = {1, 1, 1};
  uint32_t at = 0;
  for (const Step& s : steps) {
    if (s.length == 1) {
      ++coded.main.freq[data[at]];
    } else {
      const unsigned header = std::min<unsigned>(s.length - kMinMatch, kNumPrimaryLengths);
      unsigned slot;
      if (s.rep >= 0) {
        slot = static_cast<unsigned>(s.rep);
        std::swap(reps[0], reps[s.rep]);
      } else {
        const uint32_t formatted = s.offset + 2;
        slot = kSlots.slot[formatted];
        const unsigned extra = kExtraBits[slot];
        coded.verbatim_offset_bits += extra;
        if (extra >= 3) {
          ++coded.aligned.freq[(formatted - kPositionBase[slot]) & 7];
          coded.aligned_offset_bits += extra - 3;
          coded.any_aligned = true;
        } else {
          coded.aligned_offset_bits += extra;
        }
        reps = {s.offset, reps[0], reps[1]};
      }
      ++coded.main.freq[kLiteralSymbols + slot * 8 + header];
      if (header == kNumPrimaryLengths) ++coded.length.freq[s.length - kMinMatch - kNumPrimaryLengths];
    }
    at += s.length;
  }
  coded.main.build(kMaxCodeLength);
  coded.length.build(kMaxCodeLength);
  coded.aligned.build(7);  // aligned lengths are sent in 3 bits
}

void write_block(std::vector<uint8_t>& out, const uint8_t* data, uint32_t n, const std::vector<Step>& steps,
                 const Coded& coded, bool aligned) {
  BitWriter w(out);
  write_stream_header(w, aligned ? kBlockAligned : kBlockVerbatim, n);
  if (aligned)
    for (unsigned s = 0; s < kAlignedSymbols; ++s) w.put(coded.aligned.len[s], 3);
  LengthCoding(coded.main.len, 0, kLiteralSymbols).write(w);
  LengthCoding(coded.main.len, kLiteralSymbols, kMainSymbols).write(w);
  LengthCoding(coded.length.len, 0, kLengthSymbols).write(w);

  std::array<uint32_t, 3> reps = {1, 1, 1};
  uint32_t at = 0;
  for (const Step& s : steps) {
    if (s.length == 1) {
      coded.main.put(w, data[at]);
    } else {
      const unsigned header = std::min<unsigned>(s.length - kMinMatch, kNumPrimaryLengths);
      if (s.rep >= 0) {
        coded.main.put(w, kLiteralSymbols + static_cast<unsigned>(s.rep) * 8 + header);
        if (header == kNumPrimaryLengths) coded.length.put(w, s.length - kMinMatch - kNumPrimaryLengths);
        std::swap(reps[0], reps[s.rep]);
      } else {
        const uint32_t formatted = s.offset + 2;
        const unsigned slot = kSlots.slot[formatted];
        const unsigned extra_bits = kExtraBits[slot];
        const uint32_t extra = formatted - kPositionBase[slot];
        coded.main.put(w, kLiteralSymbols + slot * 8 + header);
        if (header == kNumPrimaryLengths) coded.length.put(w, s.length - kMinMatch - kNumPrimaryLengths);
        if (aligned && extra_bits >= 3) {
          w.put(extra >> 3, extra_bits - 3);
          coded.aligned.put(w, extra & 7);
        } else {
          w.put(extra, extra_bits);
        }
        reps = {s.offset, reps[0], reps[1]};
      }
    }
    at += s.length;
  }
  w.flush();
}

void write_uncompressed_block(std::vector<uint8_t>& out, const uint8_t* data, uint32_t n) {
  BitWriter w(out);
  write_stream_header(w, kBlockUncompressed, n);
  w.pad_for_raw_bytes();
  for (int r = 0; r < 3; ++r) {  // R0, R1 and R2, all still 1
    const uint8_t one[4] = {1, 0, 0, 0};
    out.insert(out.end(), one, one + 4);
  }
  out.insert(out.end(), data, data + n);
  if (n & 1) out.push_back(0);
}

// The inverse of the decoder's E8 translation, over the same positions.
void e8_encode(uint8_t* data, uint32_t n) {
  const int64_t end = static_cast<int64_t>(n) - 10;
  for (int64_t i = 0; i < end;) {
    if (data[i] != 0xE8) {
      ++i;
      continue;
    }
    const uint32_t raw = data[i + 1] | data[i + 2] << 8 | data[i + 3] << 16 | uint32_t(data[i + 4]) << 24;
    const auto r = static_cast<int32_t>(raw);
    if (r >= -i && r < kE8TranslationSize) {
      const int64_t v = r < kE8TranslationSize - i ? r + i : static_cast<int64_t>(r) - kE8TranslationSize;
      const auto stored = static_cast<uint32_t>(static_cast<int32_t>(v));
      for (int b = 0; b < 4; ++b) data[i + 1 + b] = static_cast<uint8_t>(stored >> (8 * b));
    }
    i += 5;
  }
}

// One block's LZX stream: the smallest of the three block types. A quick
// longest-match parse gives the first codes; the near-optimal parse then
// runs twice, each time pricing symbols by the codes of the parse before,
// and offsets as an aligned-offset block would send them when such a block
// can pay off.
void compress_block(const uint8_t* src, uint32_t n, std::vector<uint8_t>& stream) {
  std::vector<uint8_t> data(src, src + n);
  e8_encode(data.data(), n);

  const uint64_t uncompressed_bytes = 8 + 12 + n + (n & 1);
  uint64_t best_bytes = uncompressed_bytes;
  std::vector<Step> best_steps;
  Coded best_coded;
  bool best_aligned = false;

  Parser parser(data.data(), n);
  Costs costs;
  costs.estimate();
  for (int pass = 0; pass < kPasses; ++pass) {
    std::vector<Step> steps = pass == 0 ? parser.greedy() : parser.parse(costs);
    Coded coded;
    count_symbols(data.data(), steps, coded);
    const uint64_t tree_bits = LengthCoding(coded.main.len, 0, kLiteralSymbols).bits() +
                               LengthCoding(coded.main.len, kLiteralSymbols, kMainSymbols).bits() +
                               LengthCoding(coded.length.len, 0, kLengthSymbols).bits();
    bool improved = false;
    for (bool aligned : {false, true}) {
      if (aligned && !coded.any_aligned) continue;
      const uint64_t bytes = coded.stream_bytes(aligned, tree_bits);
      if (bytes < best_bytes) {
        best_bytes = bytes;
        best_aligned = aligned;
        improved = true;
      }
    }
    if (improved) {
      best_steps = std::move(steps);
      best_coded = coded;
    }
    costs.from(coded.main.len, coded.length.len, coded.aligned.len, coded.any_aligned);
  }
  stream.clear();
  if (best_bytes == uncompressed_bytes)
    write_uncompressed_block(stream, data.data(), n);
  else
    write_block(stream, data.data(), n, best_steps, best_coded, best_aligned);
}

void put_u24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

int32_t compress_buffer(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity) {
  if (src_len >= kMaxBufferSize) return -1;
  const uint32_t blocks = (src_len + kBlockSize - 1) / kBlockSize;
  std::vector<uint8_t> out(kSizeFieldBytes * (1 + blocks), 0);
  put_u24(out.data(), src_len);
  std::vector<uint8_t> stream;
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t n = std::min(kBlockSize, src_len - k * kBlockSize);
    compress_block(src + size_t{k} * kBlockSize, n, stream);
    put_u32(out, kBlockHeaderBytes);
    put_u32(out, n);
    put_u32(out, static_cast<uint32_t>(stream.size()));
    put_u32(out, n);
    out.insert(out.end(), stream.begin(), stream.end());
    if (out.size() >= kMaxBufferSize || out.size() > capacity) return -1;  // offsets are 24-bit
    put_u24(out.data() + kSizeFieldBytes * (1 + k), static_cast<uint32_t>(out.size()));
  }
  if (out.size() > capacity) return -1;
  if (!out.empty()) std::memcpy(dst, out.data(), out.size());
  return static_cast<int32_t>(out.size());
}

}  // namespace lzx
