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
// the last row decoded goes back to the top: a streamed image, a progressive
// JPEG and an interlaced PNG are decoded again from the top of the file,
// other images held whole served again; a request that skips rows decodes
// and drops them. Where the chosen mode is the image's own layout and a
// request covers whole rows and all planes, rows are decoded straight into
// the caller's buffer, with no copy.
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
//
// Animations (GIF, WebP, JPEG XL). ImageInfo tells how many frames the file
// shows, counted at open without decoding them (GIF: a pass over the file
// that skips each image's compressed data; WebP: the chunk headers; JPEG XL:
// the frame headers, libjxl passing over the pixel data), the delay of the
// frame served and how many times the animation plays. ImageOptions.frame
// opens another frame than the first, and ShowImageFrame moves an image
// opened with ImageOptions.animation from frame to frame. Frames are
// composited as browsers show them: on a canvas that starts transparent,
// each frame blended at its place and disposed of as the file says after it
// is shown (cleared to transparent, or put back as it was before it). They
// are decoded in order, frame N after frames 1 to N - 1, and memory stays
// at a few canvases however many frames there are, charged to the budget:
// GIF the canvas and, when a frame is to be put back, a second one; WebP
// libwebp's animation decoder with its two; JPEG XL libjxl's decoder, which
// keeps the frames later ones refer to. A composited GIF is delivered as
// colour (grey and alpha when every colour that can show is grey, else RGB
// and alpha) rather than as indices of its table, since its frames may each
// have their own table: --mode indexed then maps it to the fixed table. An
// animated PNG gives its default image alone (libpng here reads no
// animation): ImageInfo.declaredFrames says how many frames it has.
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

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/image/ImageTypes.h"

// An open image: the file, the decoder and its position. Opaque.
struct ImageFile;

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

// Moves an image opened with ImageOptions.animation to frame `frame`
// (1..info.frames) and updates `info` (frame, frameDelay). The next frame
// is composited on the canvas as it stands; an earlier one (the first, when
// an animation starts again) means compositing again from the first. The
// rows are served again from the top, at the size last asked for, and
// ResizeImage may change that size before the first read. False with a
// message for a frame out of range and on bad data; a failed image stays
// failed.
bool ShowImageFrame(ImageFile* image, int32_t frame, ImageInfo* info, std::string* error);

// Closes the file and frees everything; null is allowed.
void CloseImage(ImageFile* image);

// A few lines for --help: the formats this build reads, which of them stream
// and which are decoded whole. Ends with a line feed.
const char* ImageInputHelp();

