// Inflating a whole zlib stream in one call, and CRC-32, through libdeflate
// where the build has it (WholeInflateLibdeflate.cpp); without it
// (WholeInflateNone.cpp) nothing is inflated this way and readers keep to
// their streaming decoders.
#pragma once

#include <cstddef>
#include <cstdint>

// True when InflateWhole can succeed in this build.
bool WholeInflateAvailable();

// Inflates the zlib stream in[0..inBytes) into out[0..outBytes), checking
// its Adler-32. True only for a valid stream that ends exactly at the end
// of the input and fills the output exactly; false for anything else
// (damage, a stream that is short or long, a preset dictionary).
bool InflateWhole(const uint8_t* in, size_t inBytes, uint8_t* out, size_t outBytes);

// The CRC-32 of PNG and zlib (gzip's), continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t bytes);

// PNG images inflated whole since the process started: for tests, which
// check that the faster path is taken where it should be.
uint64_t PngImagesInflatedWhole();
