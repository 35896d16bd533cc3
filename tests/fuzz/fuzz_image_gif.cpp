// fuzz-seconds: 20
// The GIF reader: every input in the image's own mode and in gray and RGB with alpha kept.
#include <cstddef>
#include <cstdint>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const magics[] = {"GIF", nullptr};
  if (!StartsWithAny(data, size, magics)) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeGray, false);
  FuzzImage(data, size, kImageModeRGB, true);
  return 0;
}
