// The words of the image input's interface, shared by its callers and by
// the stages inside it: the plug-in's image modes, what a caller asks of an
// image (ImageOptions) and what it is told of it (ImageInfo), colour rows,
// the limits and the shared memory budget. ImageInput.h, which includes
// this, describes what each of them means for the pixels.
#pragma once

#include <csignal>
#include <cstdint>

// Plug-in image mode numbers, as the export record carries them.
enum : int16_t {
  kImageModeOwn = -1,  // ImageOptions: the image's own mode
  kImageModeBitmap = 0,
  kImageModeGray = 1,
  kImageModeIndexed = 2,
  kImageModeRGB = 3,
  kImageModeCMYK = 4,
  kImageModeHSL = 5,
  kImageModeHSB = 6,
  kImageModeMultichannel = 7,
  kImageModeDuotone = 8,
  kImageModeLab = 9,
};

// "gray", "indexed", "rgb", "cmyk", "lab", "hsb", "hsl", "multichannel",
// "duotone", "bitmap" and back; ParseImageMode also takes "grey" and
// "grayscale" and returns false for anything else.
const char* ImageModeName(int16_t mode);
bool ParseImageMode(const char* text, int16_t* mode);

// The most pixels in either direction: the plug-in interface's sizes are
// signed 16-bit.
constexpr int64_t kMaxImageSide = 32767;

// One memory budget for every image open at once, for a host that decodes
// several in parallel: together they take at most `limit` bytes (0: no
// limit). An image that needs more than the whole limit is refused as with
// a budget of its own; one that needs more than the others leave waits
// until they give it back, however long that takes (a stop through the
// cancel flag ends the wait). A thread must not hold one image open while
// it opens or reads another on the same budget: the second could wait for
// what the first will never give back. Free it after every image that
// borrows from it is closed.
struct MemoryBudget;
MemoryBudget* NewMemoryBudget(uint64_t limit);
void FreeMemoryBudget(MemoryBudget* budget);

struct ImageOptions {
  int16_t mode = kImageModeOwn;
  // Alpha as the last plane instead of compositing it over white.
  bool keepAlpha = false;
  // Budget, in bytes, for everything a file makes the decoders take at once:
  // the image held whole, the decoders' own buffers for it (libjpeg's
  // coefficients, libwebp's and libtiff's buffers) and the WebP file kept in
  // memory; 0 = no bound beyond what the system gives. A file that needs
  // more is refused before the memory is taken, with "needs N MB to decode
  // the image whole (...), more than the limit of M MB (--max-memory changes
  // it)". Streamed images take about one row and are not affected.
  uint64_t memoryLimit = 0;
  // A budget shared with the images open in other threads at once (see
  // NewMemoryBudget); its limit then counts, not memoryLimit.
  MemoryBudget* sharedBudget = nullptr;
  // Non-null and non-zero: stop. Looked at between rows, scans, frames,
  // strips and tiles of every decode of a whole image and while standard
  // input or a pipe is being read, so that a long decode ends within about
  // a second; the call then fails with "NAME: interrupted". A signal
  // handler may set it.
  const volatile std::sig_atomic_t* cancel = nullptr;
  // Input that cannot seek (a pipe, standard input) is copied to a
  // temporary file first: more than this many bytes of it (0: no limit)
  // are refused with "NAME: more than the limit of N MB for input through
  // a pipe (--max-input changes it)", and the copy is removed.
  uint64_t inputLimit = 0;
  // Every delivered sample s as 255 - s, alpha excepted (see ImageInput.h).
  bool invert = false;
  // The caller will ask for colour rows (ColourRows below): the decoder
  // keeps the colour even where the mode needs only grey (a YCbCr JPEG is
  // otherwise decoded as its luma alone, and its colour rows are grey).
  bool colour = false;
  // The frame of an animation to serve, counted from 1; one beyond the
  // file's frames is refused at open with a message saying how many there
  // are.
  int32_t frame = 1;
  // Frames will follow one another (ShowImageFrame): every frame of an
  // animation, the first included, is composited alike. An image of one
  // frame is read as it would be without.
  bool animation = false;
};

// The budget a host sets unless told otherwise.
constexpr uint64_t kDefaultMemoryLimit = uint64_t{1} << 30;
// The input a host copies from a pipe unless told otherwise: the largest
// image the plug-in interface carries, 32767 x 32767 pixels, fits raw with
// four 8-bit channels (a CMYK or RGBA PAM), and every compressed image far
// more easily; endless data stops there, before it fills a disk (or the
// memory of a tmpfs).
constexpr uint64_t kDefaultInputLimit = uint64_t{4} << 30;

struct ImageInfo {
  int32_t width = 0;   // columns, after orientation
  int32_t height = 0;  // rows, after orientation
  int16_t planes = 0;  // planes delivered per pixel, alpha included
  int16_t mode = 0;    // the mode delivered (a kImageMode number, never Own)
  int16_t ownMode = 0; // the image's own mode: what kImageModeOwn gives (see ImageInput.h)
  int16_t depth = 8;   // bits per sample: 8, or 1 in bitmap mode
  bool alphaPlane = false;   // the last plane is alpha (keepAlpha)
  const char* format = "";   // "JPEG", "PNG", "TIFF", "GIF", "WebP", "PNM", "PAM"
  // Why the image is decoded whole, or null when it streams, e.g.
  // "progressive JPEG", "interlaced PNG", "EXIF orientation 6".
  const char* decodedWhole = nullptr;
  int32_t orientation = 1;  // EXIF orientation 1..8 that has been applied
  // After ResizeImage: the decoder delivered 1/decoderScale of the image
  // (JPEG: 2, 4 or 8) before resampling; else 1.
  int32_t decoderScale = 1;
  // Indexed mode: the colour table (RGB), paletteCount entries, the rest 0.
  // A palette with transparency is composited over white unless keepAlpha.
  int32_t paletteCount = 0;
  uint8_t palette[256][3] = {};
  int32_t transparentIndex = -1;  // a fully transparent table entry, or -1
  // Animations (1, 1, 0 and 1 for a still image): the frames the file
  // shows, the frame served, its delay in milliseconds as the file gives it
  // (0 is common; players make short delays longer), and how many times the
  // animation plays (0: forever).
  int32_t frames = 1;
  int32_t frame = 1;
  int32_t frameDelay = 0;
  int32_t loopCount = 1;
  // An animated PNG: the frames it declares, of which only the default image
  // can be read here (frames is 1); else 0.
  int32_t declaredFrames = 0;
};

// Where ReadImageRows also delivers the colour of the rows it serves: sRGB,
// 3 bytes a pixel, rows `rowBytes` apart (at least 3 bytes a column asked
// for). The colour is the image's, at the size it is served: taken before
// the conversion to the mode and before inversion, with alpha composited
// over white. Channels with no colour meaning (and Lab in a build without
// lcms2) give their first channel as grey.
struct ColourRows {
  uint8_t* dest = nullptr;
  int32_t rowBytes = 0;
};
