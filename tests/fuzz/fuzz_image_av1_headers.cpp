// fuzz-seconds: 20
// The AV1 headers of an AVIF image's data (what dav1d is handed): what is
// learnt must be consistent, whatever the OBUs hold.
#include <cstddef>
#include <cstdint>

#include "host/image/readers/heif/Av1Headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CodedPictures p;
  ScanAv1Pictures(data, size, &p);
  if (p.pictures == 0 && p.samples != 0) __builtin_trap();
  // Every picture is at least as large as the exact size (or the 2^30
  // pixels beyond which dav1d refuses a frame), and at most what dav1d lets
  // a frame be (aligned, upscaled).
  const uint64_t exact = uint64_t{p.width} * p.height;
  if (p.samples < uint64_t{p.pictures} * (exact < (uint64_t{1} << 30) ? exact : uint64_t{1} << 30))
    __builtin_trap();
  if (p.pictures != 0 && p.samples / p.pictures > (uint64_t{1} << 32)) __builtin_trap();
  if (p.width > p.largestWidth || p.height > p.largestHeight) __builtin_trap();
  if (p.chroma < 0 || p.chroma > 3) __builtin_trap();
  return 0;
}
