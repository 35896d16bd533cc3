// The orientation an Exif block asks for.
#pragma once

#include <cstddef>
#include <cstdint>

// The Orientation tag (0x0112) of the first image directory of an Exif
// block: `data` starts at its TIFF header ("II*\0" or "MM\0*"), or at the
// "Exif\0\0" that precedes it in JPEG and some WebP files. 1 (as stored)
// when the block has no such tag, or a damaged one, or a value outside 1..8.
int32_t ExifOrientation(const uint8_t* data, size_t size);
