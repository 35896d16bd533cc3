// Pairs each line of text the plug-in writes with the row of the image it
// came from, so that a view can give every character a colour. The plug-in
// writes line k for image row k, one character per sample, the planes of a
// pixel side by side; the text lags behind the bands it is made from (it is
// copied when the next band is asked for, or at the end), so the rows wait
// here until their lines arrive. Anything that would pair a line with the
// wrong row (a band that is not the next whole rows of every plane) stops
// the colouring for the rest of the text, which still goes out whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "host/view/Colour.h"

// The rows as the plug-in was given them.
struct RowLayout {
  int32_t width = 0;       // pixels in a row
  int16_t planes = 1;      // samples (characters) per pixel
  int16_t mode = 0;        // the image mode the plug-in was given (kImageMode...)
  bool alphaPlane = false; // the last plane is alpha
  bool inverted = false;   // every colour sample was given as 255 - s
};

// Where the characters' colours come from.
enum class TintSource : int8_t {
  kNone,     // no colour: every other mode
  kPixel,    // grey, duotone, indexed: the pixel's own colour (colour rows)
  kChannel,  // rgb, cmyk: each plane in its channel's or ink's colour
};
TintSource TintSourceFor(const RowLayout& layout);

// The colours of one row's characters from what the source needs of the
// row: its pixels (sRGB, 3 bytes a pixel) for kPixel, its samples as the
// plug-in was given them for kChannel. `tints` gets width × planes entries.
void TintRow(const RowLayout& layout, TintSource source, const uint8_t* row, Tint* tints);

class TextRows {
 public:
  // A whole line of text (without its line feed; `lineFeed` false only for
  // a last line that has none), with one tint per character or null when
  // the line has no colour. False stops the text.
  using LineSink = std::function<bool(const char* text, size_t size, const Tint* tints, bool lineFeed)>;

  TextRows(const RowLayout& layout, LineSink sink);

  TintSource source() const { return source_; }
  // Whether AddBand needs the colour rows.
  bool WantsPixels() const { return source_ == TintSource::kPixel && !broken_; }

  // The band of rows top..bottom - 1 just given to the plug-in: `left`,
  // `right`, `loPlane` and `hiPlane` as it asked, samples `rowBytes` apart;
  // `pixels` their colour (3 bytes a pixel, `pixelRowBytes` apart) or null.
  void AddBand(int32_t top, int32_t bottom, int32_t left, int32_t right, int32_t loPlane, int32_t hiPlane,
               const uint8_t* samples, int32_t rowBytes, const uint8_t* pixels, int32_t pixelRowBytes);

  // Text as the plug-in wrote it, any amount; each line it completes goes
  // to the sink. False once the sink has failed.
  bool AddText(const char* data, size_t size);
  // The end of the text: a last line without a line feed goes out too.
  bool Finish();

 private:
  bool Emit(const char* text, size_t size, bool lineFeed);

  RowLayout layout_;
  TintSource source_;
  LineSink sink_;
  bool broken_ = false;  // lines no longer pair with rows: no colour
  bool failed_ = false;
  int32_t nextRow_ = 0;  // the row the next band must start with
  size_t rowSize_ = 0;   // bytes stored per row
  std::deque<std::vector<uint8_t>> rows_;  // rows whose lines have not come yet
  std::vector<std::vector<uint8_t>> spare_;
  std::string partial_;  // the start of a line whose end has not come yet
  std::vector<Tint> tints_;
};
