// fuzz-seconds: 20
// The PNM and PAM reader: every input in the image's own mode and in HSL and bitmap.
#include <cstddef>
#include <cstdint>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const magics[] = {"P", nullptr};
  if (!StartsWithAny(data, size, magics)) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeHSL, true);
  FuzzImage(data, size, kImageModeBitmap, false);
  return 0;
}
