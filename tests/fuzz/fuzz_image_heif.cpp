// fuzz-seconds: 30
// The HEIF/HEIC and AVIF reader (libheif): every input in the image's own
// mode, in gray, and in CMYK with alpha kept.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/FuzzImage.h"

// libheif 1.15's AV1 decoder plug-in leaks dav1d's small buffers (40
// bytes each) when dav1d refuses a stream: not ours to fix, and not to stop
// the fuzzer at every such input.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdav1d.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12 || std::memcmp(data + 4, "ftyp", 4) != 0) return 0;
  FuzzImage(data, size, kImageModeOwn, false);
  FuzzImage(data, size, kImageModeGray, false);
  FuzzImage(data, size, kImageModeCMYK, true);
  return 0;
}
