// The stages between an image's oriented stored rows and the rows it
// delivers, besides resizing (Resize.h): inversion, colour rows beside the
// delivered ones and the picking of the planes asked for; and the request
// and the rows below a stage, as the stages pass them on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/image/ImageTypes.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/stages/Convert.h"

// ---- inversion ----------------------------------------------------------------

struct Inversion {
  bool on = false;
  bool bitmap = false;      // packed bits: every bit flips
  int32_t planes = 0;       // planes of a delivered pixel
  int32_t alphaPlane = -1;  // the plane left as it is (kept or stored alpha), or -1
};

// The inversion of an image delivered as `info` says, from a file stored as
// `layout`: a kept alpha plane, or a multichannel image's stored alpha,
// stays as it is.
Inversion MakeInversion(const ImageInfo& info, const StoredLayout& layout, bool invert);

// 255 - s for every sample of `count` delivered pixels (all planes) but
// alpha; in bitmap mode the first `count` bits flip. Nothing when off.
void Invert(const Inversion& inversion, uint8_t* pixels, int32_t count);

// Inverted indices keep meaning the same picture, inverted: entry i of the
// table moves to 255 - i as its inverse colour (indexed mode only).
void InvertPalette(ImageInfo* info);

// ---- planes -------------------------------------------------------------------

// Planes loPlane..hiPlane of `count` pixels of `planes` planes each, from
// `all` into `out`.
void SelectPlanes(const uint8_t* all, int32_t count, int32_t planes, int32_t loPlane,
                  int32_t hiPlane, uint8_t* out);

// ---- colour rows --------------------------------------------------------------

// Stored pixels as sRGB, 3 bytes a pixel, alpha composited over white.
// Channels with no colour meaning, and Lab in a build without lcms2, give
// their first channel as grey.
struct ColourStage {
  bool prepared = false;
  bool grey = false;
  int32_t channels = 0;
  Conversion conversion;
};

// `count` pixels of `layout` (count at most `maxPixels`, the same at every
// call) into `rgb`.
void DeliverColour(ColourStage* stage, const StoredLayout& layout, int32_t maxPixels,
                   const uint8_t* stored, int32_t count, uint8_t* rgb);
void FreeColourStage(ColourStage* stage);

// ---- requests and the rows below them ------------------------------------------

// The image below a stage: its oriented stored rows, top to bottom.
struct RowSource {
  void* context = nullptr;
  // The next oriented stored row; `*row` stays valid until the next call.
  bool (*next)(void* context, const uint8_t** row, std::string* error) = nullptr;
  // Back to the top: the next row is row 0 again.
  bool (*rewind)(void* context, std::string* error) = nullptr;
};

// A request as ReadImageRows takes it, already checked against the image.
struct RowRequest {
  int32_t top = 0, bottom = 0, left = 0, right = 0, loPlane = 0, hiPlane = 0;
  uint8_t* dest = nullptr;
  size_t stride = 0;
  ColourRows* colour = nullptr;  // null: no colour rows
};
