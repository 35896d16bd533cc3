// Most-significant-bit-first reading of the codec headers (AV1 sequence and
// frame headers, HEVC parameter sets). Reading past the end gives zeros and
// marks the reader, as the decoders' own readers do; callers check `overrun`
// before trusting a value read after it.
#pragma once

#include <cstddef>
#include <cstdint>

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint32_t Bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 1 | Bit();
    return value;
  }

  uint32_t Bit() {
    if (position_ >= size_ * 8) {
      overrun = true;
      return 0;
    }
    const uint32_t bit = data_[position_ / 8] >> (7 - position_ % 8) & 1;
    ++position_;
    return bit;
  }

  void Skip(size_t count) {
    for (size_t i = 0; i < count && !overrun; ++i) Bit();
  }

  bool overrun = false;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};
