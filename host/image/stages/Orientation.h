// Orientation, as EXIF gives it and TIFF's orientation tag does (1..8,
// EXIF's meaning): where each stored pixel lands once the image is shown
// upright. A mirrored image (2) streams, each row turned around; every
// orientation that turns the image or flips it upside down needs the whole
// picture before its first row can be delivered.
#pragma once

#include <cstdint>

// Why an image in this orientation is decoded whole ("EXIF orientation 6
// (turned 90 degrees)"), or null when its rows can stream.
const char* OrientationReason(int32_t orientation);

// Orientations 5 to 8 exchange width and height.
inline bool OrientationSwapsSides(int32_t orientation) { return orientation >= 5; }

// Where stored pixel (x, y) of a sw x sh image lands once oriented.
void OrientedPosition(int32_t orientation, int32_t sw, int32_t sh, int32_t x, int32_t y,
                      int32_t* dx, int32_t* dy);

// Reverses the order of `width` pixels of `channels` bytes (at most 255).
void MirrorRow(uint8_t* row, int32_t width, int32_t channels);

// Copies stored row y of a sw x sh image (pixels of `channels` bytes) to
// where its pixels land in `oriented`, the whole oriented image.
void PlaceOrientedRow(int32_t orientation, int32_t sw, int32_t sh, int32_t y, const uint8_t* row,
                      int32_t channels, uint8_t* oriented);
