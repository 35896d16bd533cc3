// fuzz-seconds: 20
// The WebP reader: every input in the image's own mode and in CMYK and Lab.
#include <cstddef>
#include <cstdint>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const magics[] = {"RIFF", nullptr};
  if (!StartsWithAny(data, size, magics)) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeCMYK, false);
  FuzzImage(data, size, kImageModeLab, true);
  return 0;
}
