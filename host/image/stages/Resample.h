// Resampling of interleaved 8-bit rows, fed top to bottom a few at a time,
// so that memory stays at a few rows of each side however tall the image.
//
// zimg's Lanczos 3 filter, every channel on its own as a plane of grey, so
// that no colour conversion or range quirk of the library touches the
// values: a flat image stays exactly flat. Across each batch of rows as
// they come, into 16-bit rows; then down, a band of output rows at a time. A
// shrinking factor beyond 8 is first brought down to 4..6 by an exact
// integer box (whole blocks of pixels averaged, a partial block at the
// right and bottom edges over its own pixels), as libvips does: the filter
// widens with the factor, and with it the rows a band waits for and the
// time. Any size from 1 to 32767 pixels either way goes to any other.
// Builds without zimg cannot resample (ResamplingAvailable()).
#pragma once

#include <cstdint>
#include <string>

struct Resampler;

bool ResamplingAvailable();

// A resampler from srcWidth x srcHeight to dstWidth x dstHeight pixels of
// `channels` bytes; null with the reason in `error` (sizes out of range,
// out of memory, a build without zimg).
Resampler* NewResampler(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight,
                        int32_t channels, std::string* error);
void FreeResampler(Resampler* resampler);

// Takes the next source row (srcWidth * channels bytes). Output rows become
// available as soon as the rows they depend on are in; all of them once the
// last source row is. False with the reason when the library fails, or
// when every source row has been taken already.
bool ResamplerPush(Resampler* resampler, const uint8_t* row, std::string* error);

// Source rows taken so far.
int32_t ResamplerRowsIn(const Resampler* resampler);
// Output rows first..end - 1 are held: end is the number made so far, first
// the lowest not yet dropped.
int32_t ResamplerFirstRow(const Resampler* resampler);
int32_t ResamplerEndRow(const Resampler* resampler);
// Held output row y (dstWidth * channels bytes).
const uint8_t* ResamplerRow(const Resampler* resampler, int32_t y);
// Lets go of the output rows above `y`.
void ResamplerDrop(Resampler* resampler, int32_t y);
