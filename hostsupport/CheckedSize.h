// The one place where sizes that come from outside (the host's records, an
// image file's header) are multiplied or added: every such product goes
// through these, so that an overflow becomes a refusal instead of a short
// buffer.
#pragma once

#include <cstdint>

// a × b, when both are non-negative and the product is at most `limit`.
inline bool CheckedMultiply(int64_t a, int64_t b, int64_t limit, int64_t* product) {
  if (a < 0 || b < 0 || limit < 0) return false;
  int64_t p = 0;
  if (__builtin_mul_overflow(a, b, &p) || p > limit) return false;
  *product = p;
  return true;
}

// a + b, when both are non-negative and the sum is at most `limit`.
inline bool CheckedAdd(int64_t a, int64_t b, int64_t limit, int64_t* sum) {
  if (a < 0 || b < 0 || limit < 0) return false;
  int64_t s = 0;
  if (__builtin_add_overflow(a, b, &s) || s > limit) return false;
  *sum = s;
  return true;
}
