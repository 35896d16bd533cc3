// fuzz-seconds: 30
// The JPEG XL reader (libjxl): every input in the image's own mode, in gray,
// and in Lab with alpha kept.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The codestream, or the container (whose signature starts with NUL bytes).
  const bool codestream = size >= 2 && data[0] == 0xFF && data[1] == 0x0A;
  const bool container = size >= 12 && std::memcmp(data, "\0\0\0\x0CJXL \r\n\x87\n", 12) == 0;
  if (!codestream && !container) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeGray, false);
  FuzzImage(data, size, kImageModeLab, true);
  return 0;
}
