// fuzz-seconds: 20
// The TIFF reader: every input in the image's own mode and in RGB and multichannel.
#include <cstddef>
#include <cstdint>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const magics[] = {"II", "MM", nullptr};
  if (!StartsWithAny(data, size, magics)) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeRGB, true);
  FuzzImage(data, size, kImageModeMultichannel, false);
  return 0;
}
