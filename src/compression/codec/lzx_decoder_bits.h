// Bit reading for the LZX decoder: the stream is a sequence of 16-bit
// little-endian words, each read most significant bit first.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace lzx::decoder {

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, 8);
  } else {
    v = 0;
    for (int i = 8; i-- > 0;) v = v << 8 | p[i];
  }
  return v;
}

// A window of kChunk bytes (plus 8) over the stream in which every word's two
// bytes are swapped, so that it reads as one plain bit string, most
// significant bit first. Bytes past the end of the stream read as zero.
class SwappedWindow {
 public:
  static constexpr uint32_t kChunk = 1024;

  SwappedWindow(const uint8_t* data, uint32_t len) : data_(data), len_(len) {}

  // Moves the window to the word holding byte offset pos; returns where
  // that byte now is in the window.
  const uint8_t* move_to(uint32_t pos) {
    base_ = pos & ~1u;
    for (uint32_t i = 0; i < sizeof bytes_; i += 8) {
      uint64_t v = 0;
      if (base_ + i + 8 <= len_) {
        v = load_le64(data_ + base_ + i);
      } else if (base_ + i < len_) {
        uint8_t last[8] = {};
        std::memcpy(last, data_ + base_ + i, len_ - base_ - i);
        v = load_le64(last);
      }
      v = (v & 0x00FF00FF00FF00FFull) << 8 | (v >> 8 & 0x00FF00FF00FF00FFull);
      std::memcpy(bytes_ + i, &v, 8);
    }
    return bytes_ + (pos - base_);
  }
  // A position in the window (at most kChunk + 8 bytes in) as a stream offset.
  uint32_t offset_of(const uint8_t* p) const { return base_ + uint32_t(p - bytes_); }
  // The last position from which 8 bytes can be loaded.
  const uint8_t* limit() const { return bytes_ + kChunk; }
  uint32_t size() const { return len_; }

 private:
  const uint8_t* data_;
  uint32_t len_;
  uint32_t base_ = 0;  // stream offset of bytes_[0]; runs past len_ when zeros are fed
  uint8_t bytes_[kChunk + 8];
};

// Reads a stream through its window. The 64-bit buffer holds the next bits
// left-aligned; refill() tops it up to 56-63 bits with one 8-byte load. Past
// the end of the stream it is thus fed zero bits; overrun() tells afterwards
// whether any of those were consumed, so the decoding loops need no
// end-of-input test. The bits below the counted ones are always zero or the
// stream's own next bits, so a refill may OR in all 64 loaded bits.
//
// A reader is a small value: the decoding loops work on a local copy, which
// the compiler keeps in registers (the output's byte stores could alias it
// if it stayed in memory).
class BitReader {
 public:
  explicit BitReader(SwappedWindow& window) : window_(&window), limit_(window.limit()) { restart_at(0); }

  void refill() {
    if (next_ > limit_) [[unlikely]] next_ = window_->move_to(window_->offset_of(next_));
    buf_ |= load_be64(next_) >> (bits_ & 63);
    next_ += (~bits_ & 63) >> 3;
    bits_ |= 56;
  }
  unsigned available() const { return bits_ & 63; }
  uint64_t buffer() const { return buf_; }
  // n in 1..32, and at least n bits buffered.
  uint32_t peek(unsigned n) const { return uint32_t(buf_ >> (64 - n)); }
  void skip(unsigned n) {
    buf_ <<= n;
    bits_ -= n;
  }
  // Skips the number of bits in the low 6 bits of a table entry. Only the low
  // 6 bits of bits_ count, so the whole entry is subtracted, which saves
  // isolating its length on the hot path.
  void consume(uint32_t entry) {
    buf_ <<= entry & 63;
    bits_ -= entry;
  }
  // n in 0..32, and at least n bits buffered.
  uint32_t bits(unsigned n) {
    const uint32_t v = uint32_t(buf_ >> (63 - n) >> 1);
    skip(n);
    return v;
  }
  // n in 0..32; refills on its own.
  uint32_t read(unsigned n) {
    if (available() < n) refill();
    return bits(n);
  }

  uint64_t consumed_bits() const { return uint64_t(window_->offset_of(next_)) * 8 - available(); }
  bool overrun() const { return consumed_bits() > uint64_t(window_->size()) * 8; }

  // Drops the 1 to 16 padding bits that align an uncompressed block to the
  // next word and returns the byte offset reached.
  uint64_t align_for_raw_bytes() const { return (consumed_bits() / 16 + 1) * 2; }
  // Continues bit reading at byte offset pos (after raw bytes).
  void restart_at(uint32_t pos) {
    next_ = window_->move_to(pos);
    buf_ = 0;
    bits_ = 0;
  }

 private:
  static uint64_t load_be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
  }

  SwappedWindow* window_;
  const uint8_t* limit_;
  const uint8_t* next_ = nullptr;  // first window byte not counted in bits_
  uint64_t buf_ = 0;
  unsigned bits_ = 0;  // the low 6 bits count the buffered bits
};

}  // namespace lzx::decoder
