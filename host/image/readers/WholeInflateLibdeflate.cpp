// libdeflate: inflates about half again as fast as zlib, but only whole
// buffers.
#include <libdeflate.h>

#include "host/image/readers/WholeInflate.h"

bool WholeInflateAvailable() { return true; }

bool InflateWhole(const uint8_t* in, size_t inBytes, uint8_t* out, size_t outBytes) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (d == nullptr) return false;
  size_t used = 0, made = 0;
  const libdeflate_result result = libdeflate_zlib_decompress_ex(d, in, inBytes, out, outBytes, &used, &made);
  libdeflate_free_decompressor(d);
  return result == LIBDEFLATE_SUCCESS && used == inBytes && made == outBytes;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t bytes) {
  return libdeflate_crc32(crc, data, bytes);
}
