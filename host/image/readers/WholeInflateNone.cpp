// A build without libdeflate: no whole-buffer inflation.
#include "host/image/readers/WholeInflate.h"

bool WholeInflateAvailable() { return false; }

bool InflateWhole(const uint8_t*, size_t, uint8_t*, size_t) { return false; }

// Bitwise: correct, slow, and not on any reader's path in such a build.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t bytes) {
  crc = ~crc;
  for (size_t i = 0; i < bytes; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
