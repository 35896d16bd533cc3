// Turning a reader's stored pixels into the planes of a mode: alpha over
// white or kept, colour conversion, the mode's encoding (ImageInput.h
// describes each mode).
#pragma once

#include <cstdint>
#include <string>

#include "host/image/ImageTypes.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/stages/ColourTransform.h"

// The per-pixel arithmetic of the conversions, in versions for processors
// with wider vector units; every version gives the same bytes.
struct PixelKernels {
  const char* name;
  // (299 R + 587 G + 114 B + 500) / 1000.
  void (*rgbToGray)(const uint8_t* rgb, int32_t count, uint8_t* grey);
  void (*grayToRgb)(const uint8_t* grey, int32_t count, uint8_t* rgb);
  // R = (C K + 127) / 255 and so on, in the host's convention (255 = no ink).
  void (*cmykToRgb)(const uint8_t* cmyk, int32_t count, uint8_t* rgb);
  // Pixels of n colour bytes and an alpha byte over white:
  // (v a + 255 (255 - a) + 127) / 255; overWhite[n] for n = 1, 3, 4 (null
  // for the others).
  void (*overWhite[5])(const uint8_t* in, int32_t count, uint8_t* out);
};

// The fastest version this processor runs.
const PixelKernels& ChoosePixelKernels();
// Every version built in, for tests and benchmarks; null where this
// processor cannot run it.
int PixelKernelsCount();
const PixelKernels* PixelKernelsAt(int index);

struct Conversion {
  // The stored side.
  StoredSpace from = StoredSpace::Gray;
  int32_t channels = 0;        // bytes per stored pixel
  int32_t colourChannels = 0;  // leading channels that carry colour
  int32_t alphaChannel = -1;
  bool premultiplied = false;
  bool paletteAlpha = false;   // Indexed: some table entry is not opaque
  uint8_t palette[256][4] = {};
  int32_t paletteCount = 0;
  // The delivered side.
  int16_t mode = kImageModeRGB;
  int32_t planes = 0;          // planes per pixel delivered, alpha included
  int32_t modePlanes = 0;      // planes of the mode itself
  bool alphaPlane = false;
  bool keepAlpha = false;
  // Rows that need no change at all: the stored bytes are the delivered ones.
  bool identity = false;
  const PixelKernels* kernels = nullptr;
  // Stored palette indices into any mode but multichannel: each table
  // entry's delivered planes (alpha plane included), worked out once, so a
  // pixel is a lookup. In bitmap mode the entry's grey.
  bool lookup = false;
  uint8_t entryPlanes[256][8] = {};
  // lcms2 steps (owned by ColourTransform.h's cache), where needed.
  ColourTransform* toLab = nullptr;
  ColourTransform* fromLab = nullptr;
  // Scratch for one run of pixels.
  int32_t capacity = 0;
  uint8_t* work = nullptr;    // stored colour after alpha, 4 bytes a pixel
  uint8_t* rgb = nullptr;     // 3 bytes a pixel
  uint8_t* target = nullptr;  // the mode's planes, 4 bytes a pixel
  uint8_t* alpha = nullptr;   // 1 byte a pixel
};

// Prepares the conversion of runs of up to `maxPixels` pixels of `layout`
// into `mode` (never kImageModeOwn). False with the reason when it cannot
// be made (Lab in a build without lcms2, channels of unknown colour into a
// colour mode).
bool PrepareConversion(const StoredLayout& layout, int16_t mode, bool keepAlpha,
                       int32_t maxPixels, Conversion* conversion, std::string* whyNot);

// Converts `count` stored pixels from `in` into delivered pixels at `out`:
// planes bytes each, or, in bitmap mode, packed bits from the top bit of
// out[0] on.
void ConvertPixels(Conversion* conversion, const uint8_t* in, int32_t count, uint8_t* out);

void FreeConversion(Conversion* conversion);

// The mode an image of this layout opens in by default.
int16_t OwnMode(const StoredLayout& layout);

// The colour table indexed mode delivers for this conversion: into
// `palette` (RGB), its count, and a fully transparent entry or -1.
void DeliveredPalette(const Conversion& conversion, uint8_t palette[256][3], int32_t* count,
                      int32_t* transparentIndex);

// Exposed for tests: the fixed table quantised images use (sorted by
// luminance) and the mapping of one RGB colour to its index.
const uint8_t (*QuantisePalette())[3];
uint8_t QuantiseColour(uint8_t r, uint8_t g, uint8_t b);

// RGB <-> CMYK (the host's convention, 255 = no ink), `count` pixels.
void RgbToCmyk(const uint8_t* rgb, int32_t count, uint8_t* cmyk);
void CmykToRgb(const uint8_t* cmyk, int32_t count, uint8_t* rgb);

// RGB to HSB and HSL (hue 0..255 for 0..360 degrees), `count` pixels of 3
// bytes each.
void RgbToHsb(const uint8_t* rgb, int32_t count, uint8_t* hsb);
void RgbToHsl(const uint8_t* rgb, int32_t count, uint8_t* hsl);
