// What a TIFF file's tags say: its size, read before libtiff is, and the
// stored layout and the way its pixels are to be read, read through
// libtiff.
#pragma once

#include <cstdint>
#include <string>

#include "host/image/readers/ImageReader.h"
#include "host/image/readers/tiff/TiffState.h"

// The size the first directory of a classic TIFF declares, read before
// libtiff, which refuses empty images with words of its own. False when the
// directory cannot be read here (libtiff will say why).
bool PeekTiffSize(ImageSource* source, int64_t* width, int64_t* height);

// Reads the first directory's tags into the state and the layout and
// chooses how to read the pixels; false with the users' message for a file
// the reader cannot deliver.
bool DescribeTiff(TiffState* s, StoredLayout* layout, std::string* error);
