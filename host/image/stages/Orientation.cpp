#include "host/image/stages/Orientation.h"

#include <cstddef>
#include <cstring>

const char* OrientationReason(int32_t orientation) {
  static const char* const reasons[] = {
      "", "", "", "EXIF orientation 3 (turned 180 degrees)",
      "EXIF orientation 4 (flipped upside down)", "EXIF orientation 5 (transposed)",
      "EXIF orientation 6 (turned 90 degrees)", "EXIF orientation 7 (transversed)",
      "EXIF orientation 8 (turned 270 degrees)"};
  return orientation >= 3 && orientation <= 8 ? reasons[orientation] : nullptr;
}

void OrientedPosition(int32_t orientation, int32_t sw, int32_t sh, int32_t x, int32_t y,
                      int32_t* dx, int32_t* dy) {
  switch (orientation) {
    case 2: *dx = sw - 1 - x; *dy = y; break;
    case 3: *dx = sw - 1 - x; *dy = sh - 1 - y; break;
    case 4: *dx = x; *dy = sh - 1 - y; break;
    case 5: *dx = y; *dy = x; break;
    case 6: *dx = sh - 1 - y; *dy = x; break;
    case 7: *dx = sh - 1 - y; *dy = sw - 1 - x; break;
    case 8: *dx = y; *dy = sw - 1 - x; break;
    default: *dx = x; *dy = y; break;
  }
}

void MirrorRow(uint8_t* row, int32_t width, int32_t channels) {
  uint8_t tmp[256];
  const size_t ch = static_cast<size_t>(channels);
  for (int32_t a = 0, b = width - 1; a < b; ++a, --b) {
    std::memcpy(tmp, row + static_cast<size_t>(a) * ch, ch);
    std::memcpy(row + static_cast<size_t>(a) * ch, row + static_cast<size_t>(b) * ch, ch);
    std::memcpy(row + static_cast<size_t>(b) * ch, tmp, ch);
  }
}

void PlaceOrientedRow(int32_t orientation, int32_t sw, int32_t sh, int32_t y, const uint8_t* row,
                      int32_t channels, uint8_t* oriented) {
  const size_t ch = static_cast<size_t>(channels);
  const int32_t outWidth = OrientationSwapsSides(orientation) ? sh : sw;
  for (int32_t x = 0; x < sw; ++x) {
    int32_t dx = 0, dy = 0;
    OrientedPosition(orientation, sw, sh, x, y, &dx, &dy);
    const size_t at = (static_cast<size_t>(dy) * static_cast<size_t>(outWidth) + static_cast<size_t>(dx)) * ch;
    std::memcpy(oriented + at, row + static_cast<size_t>(x) * ch, ch);
  }
}
