// Tiny images in every format, made with the format libraries' own
// encoders, for the tests and the fuzz seed corpora.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An Exif block (TIFF header, one directory) holding only an Orientation.
std::string ExifOrientationBlock(int orientation, bool bigEndian = false);

struct PngOptions {
  int bitDepth = 8;
  bool interlaced = false;
  std::vector<uint8_t> palette;  // RGB triples, for palette images
  std::vector<uint8_t> alpha;    // tRNS of a palette
  std::string exif;
};
// `samples` as libpng takes them (16-bit big-endian, sub-byte packed).
std::string EncodePng(int width, int height, int colourType, const std::vector<uint8_t>& samples,
                      const PngOptions& options = PngOptions());

struct JpegOptions {
  int quality = 100;
  bool progressive = false;
  bool adobeMarker = true;  // CMYK: Adobe's inverted inks
  std::string exif;
};
// components 1 (grey), 3 (RGB) or 4 (CMYK, stored as given).
std::string EncodeJpeg(int width, int height, int components, const std::vector<uint8_t>& samples,
                       const JpegOptions& options = JpegOptions());

struct TiffOptions {
  int photometric = 2;  // RGB
  int bitsPerSample = 8;
  bool tiled = false;   // 16 x 16 tiles
  bool separate = false;
  int compression = 1;  // none
  int orientation = 1;
  int rowsPerStrip = 2;
  std::vector<uint16_t> extraSamples;
  std::vector<uint16_t> colourMap;  // red, green, blue tables, 1 << bits each
  int sampleFormat = 1;             // unsigned integers
  // YCbCr: JPEG-compressed with libtiff converting from RGB on the way in;
  // without JPEG, samples given as Y, Cb, Cr, not subsampled.
  bool jpegYcbcr = false;
};
// `samples` interleaved, packed as the file stores them (16-bit native).
std::string EncodeTiff(int width, int height, int samplesPerPixel, const std::vector<uint8_t>& samples,
                       const TiffOptions& options = TiffOptions());

struct GifOptions {
  bool interlaced = false;
  int transparent = -1;
  int left = 0, top = 0, frameWidth = 0, frameHeight = 0;  // 0: the whole screen
  int background = 0;
};
std::string EncodeGif(int width, int height, const std::vector<uint8_t>& paletteRgb,
                      const std::vector<uint8_t>& indices, const GifOptions& options = GifOptions());

// An animation of frames covering the whole screen, one `frames` entry of
// indices each.
std::string EncodeGifFrames(int width, int height, const std::vector<uint8_t>& paletteRgb,
                            const std::vector<std::vector<uint8_t>>& frames);

// Lossless WebP of RGB or RGBA pixels; with `exif`, in the extended format.
std::string EncodeWebp(int width, int height, int channels, const std::vector<uint8_t>& pixels,
                       const std::string& exif = std::string(), bool lossy = false);

// A lossless WebP animation of frames of RGB pixels covering the whole
// canvas, 100 ms each.
std::string EncodeWebpFrames(int width, int height, const std::vector<std::vector<uint8_t>>& frames);
