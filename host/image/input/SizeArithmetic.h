// Arithmetic on sizes a file declares (a width, a box's length, a count of
// frames), which may be anything: a product that would not fit in 64 bits
// is refused, or, for charges and estimates that only have to stay upper
// bounds, held at the largest value, so that an overflow becomes a refusal
// instead of a short buffer or a small charge.
#pragma once

#include <cstdint>

// a * b, or false when it overflows 64 bits.
inline bool CheckedProduct(uint64_t a, uint64_t b, uint64_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}

// a + b and a * b, or UINT64_MAX where they would overflow.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

inline uint64_t SaturatingMultiply(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}
