// Length-limited Huffman code lengths (package-merge when the limit binds),
// canonical codes, and the pretree plans that send a tree's lengths.
#include "lzx_code_lengths.h"

#include <algorithm>
#include <bit>

namespace lzx::detail {
namespace {

// Depths of an unlimited Huffman code for the m used symbols whose counts
// ascend in weight[0, m). Leaves are nodes 0 to m - 1, internal nodes m and
// up in the order they are made, which is also increasing weight, so two
// queues replace a heap.
unsigned huffman_depths(const uint64_t* leaf_weight, unsigned m, uint8_t* depth_out) {
  uint64_t weight[2 * kMainSymbols];
  uint16_t parent[2 * kMainSymbols];
  std::copy(leaf_weight, leaf_weight + m, weight);
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
  std::copy(depth, depth + m, depth_out);
  return deepest;
}

// Package-merge. Level 0 holds the leaves; every higher level merges the
// leaves with the pairs ("packages") of the level below. Only whether each
// item is a leaf needs keeping: leaves enter every list in the same order.
void limited_depths(const uint64_t* leaf_weight, unsigned m, unsigned limit, uint8_t* depth) {
  constexpr unsigned kMaxItems = 2 * kMainSymbols;
  static_assert(kMaxCodeLength <= 16);
  uint64_t below[kMaxItems], here[kMaxItems];
  bool is_leaf[kMaxCodeLength][kMaxItems];
  unsigned size[kMaxCodeLength];
  for (unsigned i = 0; i < m; ++i) below[i] = leaf_weight[i], is_leaf[0][i] = true;
  size[0] = m;
  for (unsigned level = 1; level < limit; ++level) {
    const unsigned packages = size[level - 1] / 2;
    unsigned i = 0, j = 0, k = 0;
    while (i < m || j < packages) {
      const uint64_t pw = j < packages ? below[2 * j] + below[2 * j + 1] : 0;
      if (j == packages || (i < m && leaf_weight[i] <= pw)) {
        here[k] = leaf_weight[i++];
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
  std::fill(depth, depth + m, uint8_t(0));
  unsigned take = 2 * m - 2;
  for (unsigned level = limit; level-- > 0 && take > 0;) {
    unsigned leaves = 0;
    for (unsigned x = 0; x < take; ++x) leaves += is_leaf[level][x];
    for (unsigned x = 0; x < leaves; ++x) ++depth[x];
    take = 2 * (take - leaves);
  }
}

uint8_t delta_symbol(uint8_t len) { return uint8_t((17 - len) % 17); }

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
  build_code_lengths(freq, kPretreeSymbols, kPretreeLimit, p.pre_len);
  p.bits = 4 * kPretreeSymbols;
  for (unsigned i = 0; i < p.count; ++i) {
    const LengthToken& t = p.tokens[i];
    p.bits += p.pre_len[t.symbol] + extra_bits_of_pretree_symbol(t.symbol);
    if (t.symbol == 19) p.bits += p.pre_len[t.follow];
  }
}

}  // namespace

unsigned build_code_lengths(const uint32_t* freq, unsigned n, unsigned limit, uint8_t* lens) {
  std::fill_n(lens, n, uint8_t(0));
  // Used symbols by increasing count (ties by symbol), as count << 16 | symbol.
  uint64_t key[kMainSymbols];
  unsigned m = 0;
  for (unsigned s = 0; s < n; ++s)
    if (freq[s] != 0) key[m++] = uint64_t(freq[s]) << 16 | s;
  if (m == 0) return 0;
  if (m == 1) {
    const unsigned only = unsigned(key[0] & 0xFFFF);
    lens[only] = 1;
    lens[only == 0 ? 1 : 0] = 1;
    return 1;
  }
  std::sort(key, key + m);
  uint64_t weight[kMainSymbols];
  for (unsigned i = 0; i < m; ++i) weight[i] = key[i] >> 16;
  uint8_t depth[kMainSymbols];
  unsigned deepest = huffman_depths(weight, m, depth);
  if (deepest > limit) {
    deepest = std::max(limit, unsigned(std::bit_width(m - 1)));
    limited_depths(weight, m, deepest, depth);
  }
  for (unsigned i = 0; i < m; ++i) lens[key[i] & 0xFFFF] = depth[i];
  return deepest;
}

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

}  // namespace lzx::detail
