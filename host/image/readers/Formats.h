// Recognising a file by its first bytes: the reader that reads it, or what
// the file is instead, in the words users see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/image/readers/ImageReader.h"

// How many of a file's first bytes recognition looks at.
constexpr size_t kFormatHeadBytes = 16;

// The reader for a file starting with `head` (`got` bytes of it), or null
// with the users' message: a format this build does not read, one nobody
// here reads (BMP, PSD...), or content no image starts with, described by
// its first bytes and, where the extension promised a format, naming it.
const ImageReader* RecogniseFormat(const uint8_t* head, size_t got, const ImageSource& source,
                                   std::string* error);

// "JPEG, PNG, ..., PNM and PAM": the formats this build reads.
std::string ReadableFormats();
