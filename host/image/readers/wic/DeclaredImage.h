// What a JPEG, PNG or GIF file's header declares, read by the host before
// the Windows Imaging Component sees the file: some of WIC's decoders (all
// of Wine's) decode the whole image as soon as the file is opened, so sizes
// too large for the plug-in interface, files too small for the size they
// declare, images beyond the memory budget and JPEGs of too many scans are
// refused here, before WIC takes the memory or the time.
#pragma once

#include <cstdint>
#include <string>

#include "host/image/readers/ImageReader.h"

struct DeclaredImage {
  bool found = false;  // the header could be read
  int64_t width = 0;
  int64_t height = 0;
  uint64_t bytes = 0;  // the decoded image at the file's own sample size
  int32_t scans = 0;   // JPEG
  // The first Exif block's orientation (JPEG's APP1, PNG's eXIf), which WIC
  // leaves to its callers; 1 without one.
  int32_t orientation = 1;
  int32_t pngColourType = -1;  // IHDR's: 0 and 4 are grey, with or without alpha
  // A grey PNG's transparent grey (tRNS), as stored; -1 without one.
  int32_t pngGreyKey = -1;
};

enum class DeclaringFormat { Jpeg, Png, Gif };

// Reads the header from the start of the source (and, for a JPEG, walks its
// segments to count the scans); false with the users' message for a size
// the host refuses. A header too damaged to read is left to WIC: true with
// nothing declared (found false).
bool ReadDeclaredImage(ImageSource* source, DeclaringFormat format, DeclaredImage* declared,
                       std::string* error);
