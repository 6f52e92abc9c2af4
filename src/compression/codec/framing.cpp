// The framing shared by both formats, for expansion and compression.
//
// Expansion decodes every block straight into its slice of the caller's
// buffer: the slice is exactly the block's size, so a block decoder that
// keeps to it also keeps every write inside the caller's capacity.
//
// Compression encodes the blocks, which are independent, on several threads
// in rounds, each thread taking the next block not yet taken; the finished
// blocks of a round are then laid out in order behind the end offsets.
#include "framing.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace framing {

int32_t expand(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity, BlockDecoder decode) {
  if (src == nullptr || src_len < kSizeFieldBytes) return -1;
  const uint32_t total = get_u24(src);
  if (total > capacity || (total > 0 && dst == nullptr)) return -1;
  const uint32_t blocks = (total + kBlockSize - 1) / kBlockSize;
  const uint64_t table_end = kSizeFieldBytes * (uint64_t(blocks) + 1);
  if (table_end > src_len) return -1;

  uint32_t start = uint32_t(table_end);
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t end = get_u24(src + kSizeFieldBytes * (k + 1));
    if (end > src_len || end < start) return -1;
    const uint32_t n = std::min(kBlockSize, total - k * kBlockSize);
    if (!decode(src + start, end - start, dst + k * kBlockSize, n)) return -1;
    start = end;
  }
  if (start != src_len) return -1;
  return int32_t(total);
}

namespace {

// Blocks encoded between two layouts of the output, per thread: bounds the
// memory that holds finished blocks.
constexpr uint32_t kBlocksPerThreadRound = 32;

// Encodes blocks [first, first + count) of src into slots of slot_bytes each,
// on the given encoders, one thread each (the calling thread runs the
// first). Thread creation that fails leaves more blocks to the others.
void encode_round(const uint8_t* src, uint32_t src_len, uint32_t first, uint32_t count,
                  const std::vector<std::unique_ptr<BlockEncoder>>& encoders, uint32_t slot_bytes, uint8_t* slots,
                  uint32_t* sizes) {
  std::atomic<uint32_t> next{0};
  auto work = [&](BlockEncoder* encoder) {
    for (uint32_t i; (i = next.fetch_add(1)) < count;) {
      const uint64_t at = uint64_t(first + i) * kBlockSize;
      const uint32_t n = uint32_t(std::min<uint64_t>(kBlockSize, src_len - at));
      sizes[i] = encoder->encode(src + at, n, slots + uint64_t(i) * slot_bytes);
    }
  };
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(encoders.size() - 1);
    for (size_t t = 1; t < encoders.size() && t < count; ++t) helpers.emplace_back(work, encoders[t].get());
  } catch (...) {
    // Fewer threads than asked for: the others share the work.
  }
  work(encoders[0].get());
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

int32_t compress(const uint8_t* src, uint32_t src_len, uint8_t* dst, uint32_t capacity, unsigned threads,
                 const BlockFormat& format) noexcept {
  if (src_len >= kMaxBufferSize || (src == nullptr && src_len != 0) || (dst == nullptr && capacity != 0)) return -1;
  const uint32_t blocks = (src_len + kBlockSize - 1) / kBlockSize;
  const uint64_t table_end = uint64_t(kSizeFieldBytes) * (blocks + 1);
  if (table_end > capacity) return -1;
  put_u24(dst, src_len);
  if (blocks == 0) return int32_t(table_end);

  try {
    // One encoder per thread, as many as memory allows.
    std::vector<std::unique_ptr<BlockEncoder>> encoders;
    const uint32_t wanted = std::clamp<uint32_t>(threads, 1, blocks);
    encoders.reserve(wanted);
    for (uint32_t t = 0; t < wanted; ++t) {
      auto encoder = format.make_encoder();
      if (!encoder) break;
      encoders.push_back(std::move(encoder));
    }
    if (encoders.empty()) return -1;
    const uint32_t round = uint32_t(encoders.size()) * kBlocksPerThreadRound;
    const uint32_t slot_bytes = format.max_block_bytes;
    std::vector<uint8_t> slots(size_t(std::min(round, blocks)) * slot_bytes);
    std::vector<uint32_t> sizes(std::min(round, blocks));

    uint64_t at = table_end;
    for (uint32_t first = 0; first < blocks; first += round) {
      const uint32_t count = std::min(round, blocks - first);
      encode_round(src, src_len, first, count, encoders, slot_bytes, slots.data(), sizes.data());
      for (uint32_t i = 0; i < count; ++i) {
        if (sizes[i] == 0) return -1;
        const uint64_t end = at + sizes[i];
        if (end > capacity || end >= kMaxBufferSize) return -1;
        std::memcpy(dst + at, slots.data() + uint64_t(i) * slot_bytes, sizes[i]);
        put_u24(dst + kSizeFieldBytes * (first + i + 1), uint32_t(end));
        at = end;
      }
    }
    return int32_t(at);
  } catch (...) {
    return -1;  // memory for the encoders' bookkeeping ran out
  }
}

unsigned default_threads() noexcept {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

}  // namespace framing
