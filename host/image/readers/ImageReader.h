// The format readers as the request machinery drives them: the stored
// layout a reader delivers, the reader interface, the readers of this
// build, and the checks every reader makes of what its header declares.
#pragma once

#include <cstdint>
#include <string>

#include "host/image/ImageTypes.h"
#include "host/image/input/ImageSource.h"

// The colour meaning of the channels a reader delivers.
enum class StoredSpace {
  Gray,
  RGB,
  CMYK,     // 255 = no ink, as the host delivers it
  Lab,      // TYPE_Lab_8
  Indexed,  // one index per pixel into StoredLayout::palette
  Unknown,  // channels without a known colour meaning
};

// What a reader's rows hold: `channels` bytes per pixel, `width` pixels, the
// colour channels first (1, 3, 4, 3 or 1 of them after the space), then,
// where `alphaChannel` says, alpha, and any further channels as stored.
struct StoredLayout {
  int32_t width = 0;   // as stored, before orientation
  int32_t height = 0;
  int32_t channels = 0;
  StoredSpace space = StoredSpace::Gray;
  int32_t alphaChannel = -1;     // index of the alpha channel, or -1
  bool alphaPremultiplied = false;
  bool bilevel = false;          // the file holds one bit per pixel
  int32_t paletteCount = 0;      // Indexed: entries in the file's table
  uint8_t palette[256][4] = {};  // Indexed: RGBA; entries past the count are opaque black
  int32_t orientation = 1;       // EXIF orientation 1..8 as the file gives it
  // An orientation (1..8, EXIF's meaning) the decoder has already applied to
  // the rows it delivers: reported in ImageInfo, never applied again.
  int32_t decodedOrientation = 1;
  // Non-null when the reader itself must hold the whole image (it still
  // delivers rows in order): why, for ImageInfo.
  const char* wholeReason = nullptr;
  const char* format = "";       // ImageInfo.format
  // Animations: the frames the file shows, the delay of the frame to be
  // delivered (milliseconds, as the file gives it) and how many times the
  // animation plays (0: forever). A still image is one frame played once.
  int32_t frames = 1;
  int32_t frameDelay = 0;
  int32_t loopCount = 1;
  // An animation whose frames this build cannot read (an animated PNG): the
  // frames it declares; `frames` stays 1.
  int32_t declaredFrames = 0;
};

// A format reader. `open` reads the header from the start of the source and
// fills the layout; `readRows` delivers the next `count` rows of the stored
// image, top to bottom, each into rows[i] (width * channels bytes); `close`
// frees the reader's state (also after a failure). A reader allocates
// nothing that its header's sizes drive before CheckImageSize has passed
// them, and never more than the source's memory limit allows for the whole
// image.
// Readers of animations also have `nextFrame`: opened with
// ImageSource::animation, they deliver source->frame and, at each call,
// the frame after it, composited on the canvas, its rows again from the
// top; `delay` gets its delay. Null where a format has one image.
// Readers that keep what they have read (the frames they counted, the boxes
// they parsed, an image decoded whole) also have `rewind`: back to the first
// row of frame source->frame, which may come before the frame last
// delivered, without reading the header again; `delay` gets the frame's
// delay. Null where only opening the file again goes back to the top.
struct ImageReader {
  const char* format;  // "JPEG", ...
  bool (*open)(ImageSource* source, void** state, StoredLayout* layout,
               std::string* error);
  bool (*readRows)(void* state, uint8_t* const* rows, int32_t count, std::string* error);
  void (*close)(void* state);
  bool (*nextFrame)(void* state, int32_t* delay, std::string* error) = nullptr;
  bool (*rewind)(void* state, int32_t* delay, std::string* error) = nullptr;
};

// The readers of this build (null where the library is missing).
extern const ImageReader* const kJpegReader;
extern const ImageReader* const kPngReader;
extern const ImageReader* const kTiffReader;
extern const ImageReader* const kGifReader;
extern const ImageReader* const kWebpReader;
extern const ImageReader* const kHeifReader;  // HEIF/HEIC and AVIF (libheif)
extern const ImageReader* const kJxlReader;   // JPEG XL (libjxl)
extern const ImageReader kPnmReader;
// Non-null when JPEG, PNG, TIFF and GIF are read through the system's own
// decoders (the Windows Imaging Component on Windows): their name, for help.
extern const char* const kSystemDecoders;

// Refuses sizes the plug-in interface cannot carry, and empty images, with
// the users' message; true when width and height are both 1..32767.
bool CheckImageSize(const ImageSource& source, int64_t width, int64_t height,
                    std::string* error);

// For formats whose compression has a highest ratio (deflate about 1032:1,
// GIF's LZW about 2730:1): false, with the users' message, when the file is
// too short to hold `decodedBytes` at `maxRatio` to one, so that a small
// file declaring a huge image is refused before memory is taken for it.
bool CheckDeclaredSize(const ImageSource& source, uint64_t decodedBytes, uint64_t maxRatio,
                       const char* format, std::string* error);
