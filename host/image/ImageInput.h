// Image input for the glyphweave command-line host: opens an image file and
// serves any rectangle of it, in the plug-in's image modes, into a caller's
// buffer, the way a host answers an export module's band requests.
//
// Usage:
//
//   ImageOptions options;             // the image's own mode, alpha over white
//   ImageFile* image = nullptr;
//   ImageInfo info;
//   std::string error;
//   if (!OpenImage("photo.jpg", options, &image, &info, &error)) { report error; exit 2; }
//   // optionally, before the first read: the size to show it at
//   int32_t w, h;
//   FitImageSize(info.width, info.height, info.planes, request, &w, &h);  // Sizing.h
//   if (!ResizeImage(image, w, h, &info, &error)) { report error; exit 2; }
//   // info.width, info.height, info.planes, info.mode go into the ExportRecord
//   for each band the plug-in asks for:
//     if (!ReadImageRows(image, top, bottom, left, right, loPlane, hiPlane,
//                        band, rowBytes, &error)) { report error; fail the export; }
//   CloseImage(image);
//
// Every failure comes back as false with a message for the user in `error`,
// beginning with the file's name: "photo.jpg: truncated JPEG file: it ends
// before the image data does", "scan.tif: too large: 40000 x 10 pixels; at
// most 32767 in each direction", "notes.jpg: not a JPEG file (it starts
// with "<!DOCTYP")".
// Nothing in here exits, aborts or throws for bad data; the only exception
// that can escape is std::bad_alloc from a small allocation.
//
// Streaming. Rows are decoded top to bottom as they are asked for, so a host
// that asks for bands top to bottom (as the plug-in does) holds one band and
// a few rows of scratch, however tall the image. A request that starts above
// the last row decoded restarts decoding from the top of the file; one that
// skips rows decodes and drops them. Where the chosen mode is the image's own
// layout and a request covers whole rows and all planes, rows are decoded
// straight into the caller's buffer, with no copy.
// Some inputs cannot be decoded a row at a time: progressive JPEG, interlaced
// PNG, interlaced GIF, WebP, TIFF with separate planes or with encodings only
// libtiff's RGBA interface reads, and every image whose orientation (EXIF, or
// the TIFF orientation tag) turns it or flips it upside down. They are
// decoded whole at the first ReadImageRows, and ImageInfo says so. Where the
// compression has a highest ratio (interlaced PNG, GIF) a file too small for
// the size its header declares is refused before that memory is taken.
//
// Formats, recognised by their first bytes: JPEG (libjpeg-turbo), PNG
// (libpng; of an animated PNG the default image), TIFF (libtiff; the first
// page), GIF (giflib; the first image on its screen), WebP (libwebp; of an
// animation the first frame), HEIF/HEIC and AVIF (libheif; the primary
// image), JPEG XL (libjxl; the first frame), PNM (PBM, PGM, PPM, plain and
// raw) and PAM.
// Builds without a library (the Windows cross build has only PNM and PAM)
// name the format and say that they cannot read it. Samples of 16 bits are
// scaled to 8, samples of fewer bits expanded.
//
// Modes (the plug-in's image mode numbers; every sample is 8 bits):
//   1 gray         1 plane. From colour: (299 R + 587 G + 114 B) / 1000,
//                  rounded, after conversion to RGB; a YCbCr JPEG gives its
//                  own luma (Y), the same weights taken before the chroma
//                  is decoded, so it is not converted at all.
//   8 duotone      1 plane of grey, the same bytes as gray.
//   0 bitmap       1 plane of packed bits, 8 pixels a byte, first pixel in
//                  the top bit, 1 = black (grey below 128), (columns + 7) / 8
//                  bytes a row. The plug-in refuses this mode; it is here so
//                  a host can show that.
//   2 indexed      1 plane of colour-table indices. A palette PNG, GIF or
//                  TIFF keeps its own indices and table. A grey image gets the
//                  256-level grey table (index = grey level). Any other image
//                  is mapped, without dithering, to the nearest colour
//                  (Euclidean, in RGB) of a fixed 256-colour table: the 216
//                  colours of the 6 x 6 x 6 cube of levels 0, 51, ..., 255
//                  and 40 further greys, sorted by luminance (gray formula
//                  above; ties by R, then G, then B), so that index 0 is
//                  black, 255 white, and a higher index is never darker.
//   3 rgb          3 planes, sRGB.
//   4 cmyk         4 planes, cyan, magenta, yellow, black, in the host's
//                  convention: 255 = no ink, 0 = full ink (so white paper
//                  reads as 255, like white in every other mode). From RGB
//                  by plain full grey-component replacement on the sRGB
//                  values, K = 1 - max(R, G, B), C = (1 - R - K) / (1 - K)
//                  and so on, rounded (every grey is black ink alone), and
//                  back R = (1 - C)(1 - K). This is arithmetic, not a press
//                  profile: lcms2 has no CMYK profile, and a profile sampled
//                  from these formulas through Lab misplaces black (the Lab
//                  grid's nodes next to black are not black). Lab <-> CMYK
//                  goes through sRGB. Embedded profiles are not consulted.
//   9 lab          3 planes, lcms2's TYPE_Lab_8 with the D50 white of the ICC
//                  connection space: L 0..255 for 0..100, a and b + 128;
//                  from sRGB through lcms2's sRGB and Lab v4 profiles. Not
//                  in builds without lcms2 (the Windows cross build).
//   6 hsb, 5 hsl   3 planes from RGB: hue 0..255 for 0..360 degrees
//                  (round(hue * 255 / 360); 0 for greys), saturation and
//                  brightness or lightness 0..255.
//   7 multichannel every plane as the file stores it (alpha and extra
//                  channels included, nothing composited; CMYK in the host's
//                  convention, Lab as TYPE_Lab_8, palette images as indices).
// The image's own mode (what kImageModeOwn delivers): gray, rgb, cmyk or
// lab after its stored colour; multichannel when the file's channels have
// no known colour meaning. A palette image (GIF, palette PNG or TIFF) opens
// as rgb, or as gray when every palette entry that can show (any but fully
// transparent ones) is grey: its indices only by asking for indexed. A
// 1-bit image opens as gray (0 and 255): bitmap only by request. Grey with
// alpha opens as gray, the alpha composited like any other. Channels beyond
// the colour and alpha (a TIFF's extra samples, a PAM's further planes) are
// left out of every mode but multichannel.
//
// Inversion (ImageOptions.invert): every delivered sample s becomes 255 - s,
// a kept alpha plane (or a multichannel image's stored alpha) excepted; in
// bitmap mode every bit flips. Indexed: the indices are inverted and the
// table with them, entry i becoming entry 255 - i in its inverse colour, so
// the table still shows the (inverted) picture; paletteCount is then 256.
//
// Resizing (ResizeImage, before the first read): the image is served at a
// new size, band by band as before, memory still about a band's worth
// however tall the image (images decoded whole hold their decoded pixels, at
// the decoder's reduced size where it has one). The colour is averaged
// where averaging means something: the stored grey, RGB, CMYK or Lab, a
// palette expanded to RGB, alpha composited over white first, or, when it
// is kept, colour weighted by alpha (premultiplied); only then does it
// become the mode's planes, so HSB and HSL hue is never averaged, bitmap is
// thresholded after averaging, and indexed takes the nearest entry
// (Euclidean, in RGB) of the delivered table. Multichannel averages every
// stored channel as it is, and refuses palette indices. The filter is
// Lanczos 3 both ways (after an exact box average for large shrinking
// factors); it keeps fine stripes from turning into bands, at the price of
// a slight halo beside hard edges. A JPEG shown at half, a quarter
// or an eighth of its size or less (both ways) is decoded that small by
// libjpeg straight from its DCT, and only the rest is resampled.
//
// Alpha: composited over white unless ImageOptions.keepAlpha, which adds it
// as the last plane (after compositing nothing; premultiplied alpha is
// undone). A palette with transparent entries counts as alpha: over white,
// its table's colours are composited and the indices kept.
//
// Sizes: an image wider or taller than 32767 pixels (after orientation) is
// refused at open, as is an image with no pixels.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>

// An open image: the file, the decoder and its position. Opaque.
struct ImageFile;
struct MemoryBudget;

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
  // Every delivered sample s as 255 - s, alpha excepted (see above).
  bool invert = false;
  // The caller will ask for colour rows (ColourRows below): the decoder
  // keeps the colour even where the mode needs only grey (a YCbCr JPEG is
  // otherwise decoded as its luma alone, and its colour rows are grey).
  bool colour = false;
};

// The budget a host sets unless told otherwise.
constexpr uint64_t kDefaultMemoryLimit = uint64_t{1} << 30;
// The input a host copies from a pipe unless told otherwise: the largest
// image the plug-in interface carries, 32767 x 32767 pixels, fits raw with
// four 8-bit channels (a CMYK or RGBA PAM), and every compressed image far
// more easily; endless data stops there, before it fills a disk (or the
// memory of a tmpfs).
constexpr uint64_t kDefaultInputLimit = uint64_t{4} << 30;

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

struct ImageInfo {
  int32_t width = 0;   // columns, after orientation
  int32_t height = 0;  // rows, after orientation
  int16_t planes = 0;  // planes delivered per pixel, alpha included
  int16_t mode = 0;    // the mode delivered (a kImageMode number, never Own)
  int16_t ownMode = 0; // the image's own mode: what kImageModeOwn gives (see above)
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
};

// Opens `path` and reads its header. The format is recognised by content;
// the extension only shapes the message when the content is unknown. On
// failure `*image` is null and `error` says why (missing file, a folder,
// unknown or unsupported format, corrupt header, too large, 0 x 0, a mode
// this build cannot produce...).
// The path "-" is standard input, called "standard input" in messages.
// Folders, devices and sockets are refused before anything is read
// ("/dev/zero: is a character device, not an image file"); a terminal on
// standard input too. A named pipe is opened without waiting for a writer
// (none: "no data: a pipe with no writer"). Input that cannot seek (a pipe,
// standard input) is copied, a fixed-size buffer at a time, into an
// unlinked temporary file in $TMPDIR (or /tmp) and read from there, so
// memory stays bounded whatever its size, and the disk by
// ImageOptions.inputLimit; input that does not start like an image is
// refused before the rest is copied.
bool OpenImage(const char* path, const ImageOptions& options, ImageFile** image,
               ImageInfo* info, std::string* error);

// Whether `path` holds an image this build reads, by the same look at its
// first bytes that OpenImage takes: false with OpenImage's message for a
// missing file, a folder or device, an empty file and content no readable
// format starts with. Nothing is decoded. Pipes and standard input are not
// read (their data would be gone): true.
bool ProbeImageFile(const char* path, std::string* error);

// The same from an open stream, named `name` in messages; for tests and fuzz
// targets (fmemopen). The image owns `stream` from here on and closes it,
// on failure too. The stream must be seekable.
bool OpenImageStream(FILE* stream, const char* name, const ImageOptions& options,
                     ImageFile** image, ImageInfo* info, std::string* error);

// Makes the image serve `width` x `height` pixels (1..32767 each) from here
// on, resampled (see above), and updates `info` (width, height,
// decoderScale). Only before the first ReadImageRows; a second call
// replaces the first. The size the image already has changes nothing. False
// with a message for a size out of range, after a read, and where the
// image cannot be resized (a build without zimg; palette indices in
// multichannel mode).
bool ResizeImage(ImageFile* image, int32_t width, int32_t height, ImageInfo* info,
                 std::string* error);

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

// Delivers rows top..bottom - 1, columns left..right - 1, planes
// loPlane..hiPlane (inclusive) into `dest`: each row holds, for each pixel
// from left to right, one byte per plane from loPlane to hiPlane (bitmap:
// packed bits of the columns); rows follow at `rowBytes`, which must be at
// least a row's length. An empty row range (top == bottom) does nothing.
// False with a message on a request outside the image, and on bad data met
// while decoding (truncated or corrupt files usually fail here, not at open);
// after such a failure every further call fails with the same message.
// With `colour`, the same rows and columns are delivered there as colour
// too, from the same decoding.
bool ReadImageRows(ImageFile* image, int32_t top, int32_t bottom, int32_t left,
                   int32_t right, int32_t loPlane, int32_t hiPlane, void* dest,
                   int32_t rowBytes, std::string* error, ColourRows* colour = nullptr);

// Closes the file and frees everything; null is allowed.
void CloseImage(ImageFile* image);

// "gray", "indexed", "rgb", "cmyk", "lab", "hsb", "hsl", "multichannel",
// "duotone", "bitmap" and back; ParseImageMode also takes "grey" and
// "grayscale" and returns false for anything else.
const char* ImageModeName(int16_t mode);
bool ParseImageMode(const char* text, int16_t* mode);

// A few lines for --help: the formats this build reads, which of them stream
// and which are decoded whole. Ends with a line feed.
const char* ImageInputHelp();

