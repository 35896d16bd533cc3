// Resampling of interleaved 8-bit rows, fed top to bottom a few at a time,
// so that memory stays at a few rows of each side however tall the image.
//
// zimg's Lanczos 3 filter, every channel on its own as a plane of grey, so
// that no colour conversion or range quirk of the library touches the
// values: a flat image stays exactly flat. Across each batch of rows as
// they come, into 16-bit rows; then down, a band of output rows at a time,
// only when rows are asked for: an enlarged image's last source row is the
// source of every band below it, and making them all at once would hold the
// whole enlarged image. A shrinking factor beyond 8 is first brought down to
// 4..6 by an exact integer box (whole blocks of pixels averaged, a partial
// block at the right and bottom edges over its own pixels), as libvips does:
// the filter widens with the factor, and with it the rows a band waits for
// and the time. Any size from 1 to 32767 pixels either way goes to any other.
// Builds without zimg cannot resample (ResamplingAvailable()).
#pragma once

#include <cstdint>
#include <string>

struct Resampler;

bool ResamplingAvailable();

// Where the memory a resampler holds is charged, and the stop it heeds
// between bands. Any of the three may be null: nothing is charged, nothing
// stops it.
struct ResamplerBudget {
  const void* context = nullptr;
  // Takes `bytes` more; false with the reason when they cannot be had.
  bool (*charge)(const void* context, uint64_t bytes, std::string* error) = nullptr;
  void (*release)(const void* context, uint64_t bytes) = nullptr;
  // True, with the reason, once the work is to stop.
  bool (*stopped)(const void* context, std::string* error) = nullptr;
};

// A resampler from srcWidth x srcHeight to dstWidth x dstHeight pixels of
// `channels` bytes, charging what it holds to `budget` (may be null) until
// it is freed; null with the reason in `error` (sizes out of range, a
// build without zimg).
Resampler* NewResampler(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight,
                        int32_t channels, const ResamplerBudget* budget, std::string* error);
void FreeResampler(Resampler* resampler);

// Takes the next source row (srcWidth * channels bytes). False with the
// reason when the budget refuses the memory, the library fails, or every
// source row has been taken already. Rows still to be made must be made
// (ResamplerMake) before more source rows push out the ones they need:
// take rows only while the row wanted is at or past ResamplerEndRow.
bool ResamplerPush(Resampler* resampler, const uint8_t* row, std::string* error);

// Source rows taken so far.
int32_t ResamplerRowsIn(const Resampler* resampler);
// Output rows below this can be made from the source rows taken so far;
// all of them once the last source row is in.
int32_t ResamplerEndRow(const Resampler* resampler);
// Makes the output rows not yet made below `end` (at most
// ResamplerEndRow), from the lowest row not dropped on. False with the
// reason when the budget refuses their memory, the stop has come, the
// library fails, or `end` is past the rows that can be made.
bool ResamplerMake(Resampler* resampler, int32_t end, std::string* error);
// The lowest output row not dropped: rows from it up to the end of those
// made are held.
int32_t ResamplerFirstRow(const Resampler* resampler);
// Held output row y (dstWidth * channels bytes), made and not dropped.
const uint8_t* ResamplerRow(const Resampler* resampler, int32_t y);
// Lets go of the output rows above `y`; rows skipped over that way are
// never made.
void ResamplerDrop(Resampler* resampler, int32_t y);
