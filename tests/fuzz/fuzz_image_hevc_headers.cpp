// fuzz-seconds: 20
// The HEVC NAL units of a HEIC image's data (what libde265 is handed):
// what is learnt must be consistent, whatever the parameter sets hold.
#include <cstddef>
#include <cstdint>

#include "host/image/readers/heif/HevcHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CodedPictures p;
  ScanHevcPictures(data, size, &p);
  if (p.pictures == 0 && p.samples != 0) __builtin_trap();
  if (p.samples != uint64_t{p.pictures} * p.largestWidth * p.largestHeight) __builtin_trap();
  if (p.largestWidth > 65535 || p.largestHeight > 65535) __builtin_trap();
  if (p.width > p.largestWidth || p.height > p.largestHeight) __builtin_trap();
  if (p.pictures != 0 && (p.bitDepth < 8 || p.bitDepth > 16 || p.chroma < 0 || p.chroma > 3))
    __builtin_trap();
  return 0;
}
