// Helpers of the image input tests: images from bytes, whole reads, band
// reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/image/ImageInput.h"

// Opens `bytes` as an image named `name` (through a temporary file, so the
// same on every system); null with the message in `error`.
ImageFile* OpenBytes(const std::string& bytes, const char* name, const ImageOptions& options,
                     ImageInfo* info, std::string* error);

// Every delivered byte of the image, rows packed (planes bytes a pixel, or
// packed bits in bitmap mode), read with one request or in bands of
// `rowsPerBand`; empty with `error` set on failure.
std::vector<uint8_t> ReadAllRows(ImageFile* image, const ImageInfo& info, std::string* error,
                                 int32_t rowsPerBand = 0);

// Opens and reads all of `bytes`; the delivered bytes, or empty with `error`.
std::vector<uint8_t> DecodeBytes(const std::string& bytes, const ImageOptions& options,
                                 ImageInfo* info, std::string* error, const char* name = "test");

ImageOptions Mode(int16_t mode, bool keepAlpha = false);

// A raw PNM or PAM file.
std::string Pnm(const std::string& header, const std::vector<uint8_t>& samples);
