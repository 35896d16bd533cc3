// fuzz-seconds: 30
// A HEIF file's items read from its meta box, and the decode they describe
// estimated, with the input as the whole file: no crash, no endless
// recursion, and a peak that holds what it builds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/image/readers/heif/HeifDecodeCost.h"
#include "host/image/readers/heif/HeifItems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first top-level meta box.
  size_t at = 0;
  while (size - at >= 8) {
    const size_t box = size_t{data[at]} << 24 | size_t{data[at + 1]} << 16 |
                       size_t{data[at + 2]} << 8 | data[at + 3];
    if (box < 8 || box > size - at) return 0;
    if (data[at + 4] == 'm' && data[at + 5] == 'e' && data[at + 6] == 't' && data[at + 7] == 'a')
      break;
    at += box;
  }
  if (size - at < 8) return 0;
  const size_t box = size_t{data[at]} << 24 | size_t{data[at + 1]} << 16 |
                     size_t{data[at + 2]} << 8 | data[at + 3];
  const uint8_t* meta = data + at + 8;
  HeifItems items;
  std::string why;
  if (!ReadHeifItems(meta, box - 8, &items, &why)) {
    if (why.empty()) __builtin_trap();
    return 0;
  }
  auto file = [data, size](uint64_t offset, uint64_t length, std::vector<uint8_t>* out) {
    if (offset > size || length > size - offset) return false;
    out->insert(out->end(), data + offset, data + offset + length);
    return true;
  };
  HeifDecodeCost cost;
  if (!EstimateHeifDecode(items, meta, file, &cost, &why)) {
    if (why.empty()) __builtin_trap();
    return 0;
  }
  if (cost.peak < cost.result) __builtin_trap();
  uint64_t delivered = 0;
  if (HeifDecodePeak(cost, 2, 4, &delivered) < delivered) __builtin_trap();
  return 0;
}
