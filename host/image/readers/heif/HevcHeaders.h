// The pictures an HEVC decoder (libde265, as libheif drives it) may make
// from a HEIC image's data: the NAL units of the hvcC box's arrays followed
// by the item's own, each after a 4-byte big-endian length, as libheif
// hands them on. Every sequence parameter set says a picture size
// (pic_width_in_luma_samples, pic_height_in_luma_samples, read through
// emulation-prevention bytes and exp-Golomb codes); every first slice of a
// picture makes one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/image/readers/heif/CodedPictures.h"

void ScanHevcPictures(const uint8_t* data, size_t size, CodedPictures* pictures);
