// fuzz-seconds: 20
// The JPEG reader: every input in the image's own mode and in Lab and CMYK.
#include <cstddef>
#include <cstdint>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const magics[] = {"\xFF\xD8", nullptr};
  if (!StartsWithAny(data, size, magics)) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeLab, false);
  FuzzImage(data, size, kImageModeCMYK, true);
  return 0;
}
