// What the TIFF reader knows of an open file, shared by its parts: the tags
// (TiffTags.cpp) and the pixels (ReadTiff.cpp); and libtiff's messages
// about the file, which go to these handlers, never to the terminal.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include <tiffio.h>

#include "host/image/readers/ImageReader.h"

// How the pixels are read: a row at a time (strips, through
// TIFFReadScanline), a row of tiles at a time, whole plane by plane, or
// whole through libtiff's RGBA interface.
enum class TiffPath { Scanlines, Tiles, Planes, Rgba };

struct TiffState {
  TIFF* tif = nullptr;
  ImageSource* source = nullptr;
  char message[512] = {};
  TiffPath path = TiffPath::Scanlines;
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits = 8;
  uint16_t samples = 1;      // samples a pixel in the file (and delivered)
  int32_t channels = 0;      // delivered
  StoredSpace space = StoredSpace::Gray;
  bool minIsWhite = false;
  bool invertInks = false;   // CMYK: 0 = no ink in the file
  bool labSigned = false;    // CIELab: a and b signed
  bool scaleLow = false;     // samples of 1, 2 or 4 bits stand for 0..255
  uint8_t low[16] = {};      // their scale
  uint32_t next = 0;         // the next row
  uint8_t* raw = nullptr;    // one scanline or one tile as libtiff delivers it
  size_t rawBytes = 0;
  // Tiles: one row of tiles, as one band of packed rows.
  uint32_t tileWidth = 0;
  uint32_t tileHeight = 0;
  uint8_t* tileRows = nullptr;
  size_t tileRowBytes = 0;   // bytes of one row across all tiles
  uint32_t tileTop = UINT32_MAX;  // image row at the top of the loaded tiles
  // Planes and RGBA: the whole image in the delivered layout.
  uint8_t* whole = nullptr;
};

// libtiff's error and warning handlers for the file's handle: the first
// error is kept in `message`; libjpeg's warnings of damaged data count as
// errors.
int OnTiffError(TIFF* tif, void* user, const char* module, const char* format, va_list args);
int OnTiffWarning(TIFF* tif, void* user, const char* module, const char* format, va_list args);

// The users' message for a failed read: libtiff's own (`fallback` without
// one), as truncation or damage. False.
bool Failure(TiffState* s, const char* fallback, std::string* error);

// "unsupported TIFF file: `what`". False.
bool Unsupported(TiffState* s, const std::string& what, std::string* error);
