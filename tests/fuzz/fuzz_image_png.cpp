// fuzz-seconds: 20
// The PNG reader: every input in the image's own mode and in HSB with alpha kept and indexed.
#include <cstddef>
#include <cstdint>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const magics[] = {"\x89PNG", nullptr};
  if (!StartsWithAny(data, size, magics)) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeHSB, true);
  FuzzImage(data, size, kImageModeIndexed, false);
  return 0;
}
