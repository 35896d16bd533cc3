#include "host/image/readers/Exif.h"

#include <cstring>

namespace {

uint32_t Read16(const uint8_t* p, bool little) {
  return little ? static_cast<uint32_t>(p[0] | p[1] << 8) : static_cast<uint32_t>(p[0] << 8 | p[1]);
}

uint32_t Read32(const uint8_t* p, bool little) {
  return little ? (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                   static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24)
                : (static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                   static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]));
}

}  // namespace

int32_t ExifOrientation(const uint8_t* data, size_t size) {
  if (data == nullptr) return 1;
  if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
    data += 6;
    size -= 6;
  }
  if (size < 8) return 1;
  bool little;
  if (std::memcmp(data, "II*\0", 4) == 0) {
    little = true;
  } else if (std::memcmp(data, "MM\0*", 4) == 0) {
    little = false;
  } else {
    return 1;
  }
  uint32_t ifd = Read32(data + 4, little);
  if (ifd < 8 || ifd > size - 2) return 1;
  uint32_t entries = Read16(data + ifd, little);
  size_t at = static_cast<size_t>(ifd) + 2;
  for (uint32_t i = 0; i < entries; ++i, at += 12) {
    if (at + 12 > size) return 1;
    const uint8_t* e = data + at;
    if (Read16(e, little) != 0x0112) continue;
    // A SHORT (type 3), one value, kept in the entry itself.
    if (Read16(e + 2, little) != 3 || Read32(e + 4, little) != 1) return 1;
    uint32_t value = Read16(e + 8, little);
    return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
  }
  return 1;
}
