// The pictures an AV1 decoder (dav1d, as libheif drives it) may make from
// an AVIF image's data: the av1C box's configuration OBUs followed by the
// item's own data, one OBU after another. The sequence headers say how
// large a frame can be (max_frame_width and _height, or, where a frame may
// override them, what their field widths allow); every frame header may
// make a picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/image/readers/heif/CodedPictures.h"

void ScanAv1Pictures(const uint8_t* data, size_t size, CodedPictures* pictures);
