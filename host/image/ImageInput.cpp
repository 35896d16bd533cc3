// Opening images and serving requests: the reader's position in the file,
// images held whole, and each row turned into the requested mode and
// planes. Formats.h recognises the file, Orientation.h places its pixels,
// MemoryBudget.h keeps the memory taken within bounds, ImageFile.cpp keeps
// the reader's place in the file, and Stages.h and Resize.h hold what comes
// after the stored rows (resizing, colour rows, inversion).
// Frames.cpp shows an animation's frames one after another.
#include "host/image/ImageInput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/image/ImageFile.h"
#include "host/image/budget/MemoryBudget.h"
#include "host/image/input/InputFile.h"
#include "host/image/input/SizeArithmetic.h"
#include "host/image/readers/Formats.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/stages/Convert.h"
#include "host/image/stages/Orientation.h"
#include "host/image/stages/Resize.h"
#include "host/image/stages/Stages.h"

namespace {

// The mode an image opens in: its stored colour, except that a palette is
// only a way of storing colour: such images open as RGB, or as gray when
// every entry that can show (not fully transparent) is grey.
int16_t DefaultMode(const StoredLayout& l) {
  if (l.space != StoredSpace::Indexed) return OwnMode(l);
  for (int32_t i = 0; i < l.paletteCount && i < 256; ++i) {
    const uint8_t* e = l.palette[i];
    if (e[3] != 0 && (e[0] != e[1] || e[1] != e[2])) return kImageModeRGB;
  }
  return kImageModeGray;
}

// ---- the reader's position ---------------------------------------------------

size_t StoredRowBytes(const ImageFile* image) {
  return static_cast<size_t>(image->layout.width) * static_cast<size_t>(image->layout.channels);
}

// Reads the next `count` stored rows into rows[0..count-1].
bool ReadStoredRows(ImageFile* image, uint8_t* const* rows, int32_t count, std::string* error) {
  if (image->state == nullptr && !RestartImage(image, error)) return false;
  if (!image->reader->readRows(image->state, rows, count, error)) return false;
  image->nextRow += count;
  return true;
}

// Decodes the whole image into image->whole, oriented; the reader is
// closed afterwards, so that its own memory goes.
bool LoadWhole(ImageFile* image, std::string* error) {
  const StoredLayout& l = image->layout;
  uint64_t bytes = 0;
  if (!CheckedProduct(static_cast<uint64_t>(l.width) * static_cast<uint64_t>(l.height),
                      static_cast<uint64_t>(l.channels), &bytes)) {
    SetImageError(error, image->source, "too large to hold whole");
    return false;
  }
  image->whole = AllocateImageMemory(image->source, bytes, image->info.decodedWhole, error);
  if (image->whole == nullptr) return false;
  image->wholeBytes = bytes;
  if (image->nextRow != 0 && !RestartImage(image, error)) return false;
  for (int32_t y = 0; y < l.height; ++y) {
    if (Interrupted(image->source, error)) return false;
    uint8_t* row = image->row;
    if (!ReadStoredRows(image, &row, 1, error)) return false;
    PlaceOrientedRow(l.orientation, l.width, l.height, y, row, l.channels, image->whole);
  }
  CloseReader(image);
  // What was reserved for the decoding goes with the reader.
  DropMemoryReservation(image->source);
  return true;
}

// Converts one run of stored pixels into the requested planes of a row,
// and into colour when asked.
void DeliverRow(ImageFile* image, const uint8_t* stored, int32_t count, int32_t loPlane,
                int32_t hiPlane, uint8_t* dest, uint8_t* colour) {
  if (colour != nullptr) DeliverColour(&image->colour, image->layout, image->info.width, stored, count, colour);
  const int32_t planes = image->conversion.planes;
  if (image->info.mode == kImageModeBitmap || (loPlane == 0 && hiPlane == planes - 1)) {
    ConvertPixels(&image->conversion, stored, count, dest);
    Invert(image->inversion, dest, count);
    return;
  }
  ConvertPixels(&image->conversion, stored, count, image->selected);
  Invert(image->inversion, image->selected, count);
  SelectPlanes(image->selected, count, planes, loPlane, hiPlane, dest);
}

// The oriented source rows of a resized image, for its stage.
bool NextSourceRow(void* context, const uint8_t** row, std::string* error) {
  ImageFile* image = static_cast<ImageFile*>(context);
  if (image->holdWhole) {
    if (image->whole == nullptr && !LoadWhole(image, error)) return false;
    const bool swap = OrientationSwapsSides(image->layout.orientation);
    const size_t width = static_cast<size_t>(swap ? image->layout.height : image->layout.width);
    *row = image->whole + static_cast<size_t>(image->sourceRow) * width *
                              static_cast<size_t>(image->layout.channels);
  } else {
    uint8_t* stored = image->row;
    if (!ReadStoredRows(image, &stored, 1, error)) return false;
    if (image->layout.orientation == 2) MirrorRow(stored, image->layout.width, image->layout.channels);
    *row = stored;
  }
  ++image->sourceRow;
  return true;
}

bool RewindSourceRows(void* context, std::string* error) {
  ImageFile* image = static_cast<ImageFile*>(context);
  image->sourceRow = 0;
  return image->holdWhole || image->nextRow == 0 || RestartImage(image, error);
}

// The rows of an image served at its own size.
bool ServeRows(ImageFile* image, const RowRequest& q, std::string* error) {
  const ImageInfo& info = image->info;
  const int32_t count = q.right - q.left;
  const size_t ch = static_cast<size_t>(image->layout.channels);
  auto colourRow = [&](int32_t r) -> uint8_t* {
    if (q.colour == nullptr) return nullptr;
    return q.colour->dest + static_cast<size_t>(r - q.top) * static_cast<size_t>(q.colour->rowBytes);
  };

  if (image->holdWhole) {
    if (image->whole == nullptr && !LoadWhole(image, error)) return false;
    for (int32_t r = q.top; r < q.bottom; ++r) {
      const uint8_t* src = image->whole +
                           (static_cast<size_t>(r) * static_cast<size_t>(info.width) +
                            static_cast<size_t>(q.left)) * ch;
      DeliverRow(image, src, count, q.loPlane, q.hiPlane, q.dest + static_cast<size_t>(r - q.top) * q.stride,
                 colourRow(r));
    }
    return true;
  }

  if (q.top < image->nextRow && !RestartImage(image, error)) return false;
  while (image->nextRow < q.top) {
    uint8_t* row = image->row;
    if (!ReadStoredRows(image, &row, 1, error)) return false;
  }
  const bool mirror = image->layout.orientation == 2;
  const bool direct = image->conversion.identity && !mirror && q.colour == nullptr && q.left == 0 &&
                      q.right == info.width && q.loPlane == 0 && q.hiPlane == info.planes - 1;
  if (direct) {
    // Straight into the caller's rows, a bounded number of row pointers at a time.
    uint8_t* rows[64];
    for (int32_t r = q.top; r < q.bottom;) {
      int32_t n = q.bottom - r < 64 ? q.bottom - r : 64;
      for (int32_t k = 0; k < n; ++k) rows[k] = q.dest + static_cast<size_t>(r - q.top + k) * q.stride;
      if (!ReadStoredRows(image, rows, n, error)) return false;
      for (int32_t k = 0; k < n; ++k) Invert(image->inversion, rows[k], info.width);
      r += n;
    }
    return true;
  }
  for (int32_t r = q.top; r < q.bottom; ++r) {
    uint8_t* row = image->row;
    if (!ReadStoredRows(image, &row, 1, error)) return false;
    if (mirror) MirrorRow(row, image->layout.width, image->layout.channels);
    DeliverRow(image, row + static_cast<size_t>(q.left) * ch, count, q.loPlane, q.hiPlane,
               q.dest + static_cast<size_t>(r - q.top) * q.stride, colourRow(r));
  }
  return true;
}

// What the options make of the source: its budget, its cancel flag, and
// what the reader is to deliver.
void TakeOptions(ImageSource* source, const ImageOptions& options) {
  source->memory.shared = options.sharedBudget;
  source->memoryLimit =
      options.sharedBudget != nullptr ? MemoryBudgetLimit(options.sharedBudget) : options.memoryLimit;
  source->cancel = options.cancel;
  source->wantsGray = !options.colour && (options.mode == kImageModeGray ||
                                          options.mode == kImageModeDuotone ||
                                          options.mode == kImageModeBitmap);
  source->frame = options.frame;
  source->animation = options.animation || options.frame != 1;
}

bool CheckOptions(const ImageSource& source, const ImageOptions& options, std::string* error) {
  if (options.mode < kImageModeOwn || options.mode > kImageModeLab) {
    SetImageError(error, source, "unknown image mode " + std::to_string(options.mode));
    return false;
  }
  if (options.frame < 1) {
    SetImageError(error, source,
                  "has no frame " + std::to_string(options.frame) + ": frames are counted from 1");
    return false;
  }
  return true;
}

// The file's size and the reader for its first bytes, the file left at its
// start; null with the users' message.
const ImageReader* Recognise(ImageSource* source, std::string* error) {
  if (fseeko(source->file, 0, SEEK_END) != 0) {
    SetImageError(error, *source, "cannot be read (not a seekable file)");
    return nullptr;
  }
  off_t end = ftello(source->file);
  if (end < 0 || !RewindSource(source)) {
    SetImageError(error, *source, "cannot be read (not a seekable file)");
    return nullptr;
  }
  source->size = static_cast<uint64_t>(end);
  if (source->size == 0) {
    SetImageError(error, *source, "empty file");
    return nullptr;
  }
  uint8_t head[kFormatHeadBytes] = {};
  size_t got = std::fread(head, 1, sizeof head, source->file);
  if (got == 0 || !RewindSource(source)) {
    SetImageError(error, *source, std::string("cannot be read (") + std::strerror(errno) + ")");
    return nullptr;
  }
  return RecogniseFormat(head, got, *source, error);
}

// Opens the reader on the file and checks the layout it reads.
bool OpenReader(ImageFile* image, std::string* error) {
  ImageSource& source = image->source;
  // A reader that takes memory as it reads the header may have to give it
  // back and wait for more (MemoryBudget.h).
  while (!image->reader->open(&source, &image->state, &image->layout, error)) {
    if (!MemoryWanted(source)) return false;
    CloseReader(image);
    if (!WaitForMemory(source, error)) return false;
    if (!RewindSource(&source)) {
      SetImageError(error, source, "cannot go back to the start of the file");
      return false;
    }
  }
  const ImageOptions& options = image->options;
  const StoredLayout& l = image->layout;
  if (!CheckImageSize(source, l.width, l.height, error)) return false;
  if (l.channels < 1 || l.channels > 255 || l.orientation < 1 || l.orientation > 8) {
    SetImageError(error, source, "unsupported layout");
    return false;
  }
  if (options.frame > l.frames) {
    SetImageError(error, source, NoSuchFrame(l, options.frame));
    return false;
  }
  return true;
}

// What the image delivers, from its layout and the options: the info, the
// conversion to the mode and the inversion.
bool DescribeImage(ImageFile* image, std::string* error) {
  const ImageOptions& options = image->options;
  const StoredLayout& l = image->layout;
  ImageInfo& i = image->info;
  i = ImageInfo();
  i.format = l.format;
  i.orientation = l.orientation != 1 ? l.orientation : l.decodedOrientation;
  const bool swap = OrientationSwapsSides(l.orientation);
  i.width = swap ? l.height : l.width;
  i.height = swap ? l.width : l.height;
  image->holdWhole = OrientationReason(l.orientation) != nullptr;
  i.decodedWhole = image->holdWhole ? OrientationReason(l.orientation) : l.wholeReason;
  i.ownMode = DefaultMode(l);
  i.mode = options.mode == kImageModeOwn ? i.ownMode : options.mode;
  std::string why;
  if (!PrepareConversion(l, i.mode, options.keepAlpha, i.width, &image->conversion, &why)) {
    SetImageError(error, image->source, std::string("cannot be delivered in ") +
                                            ImageModeName(i.mode) + " mode: " + why);
    return false;
  }
  i.planes = static_cast<int16_t>(image->conversion.planes);
  i.depth = i.mode == kImageModeBitmap ? 1 : 8;
  i.alphaPlane = image->conversion.alphaPlane;
  i.frames = l.frames;
  i.frame = options.frame;
  i.frameDelay = l.frameDelay;
  i.loopCount = l.loopCount;
  i.declaredFrames = l.declaredFrames;
  DeliveredPalette(image->conversion, i.palette, &i.paletteCount, &i.transparentIndex);
  image->plain = i;
  image->inversion = MakeInversion(i, l, options.invert);
  if (options.invert) InvertPalette(&i);
  image->fullWidth = l.width;
  image->fullHeight = l.height;
  return true;
}

bool OpenFromSource(ImageSource* sourceIn, const ImageOptions& options, ImageFile** out,
                    ImageInfo* info, std::string* error) {
  ImageFile* image = new ImageFile;
  image->source = std::move(*sourceIn);
  image->options = options;
  ImageSource& source = image->source;
  TakeOptions(&source, options);
  auto fail = [&]() {
    CloseImage(image);
    return false;
  };
  if (!CheckOptions(source, options, error)) return fail();
  image->reader = Recognise(&source, error);
  if (image->reader == nullptr || !OpenReader(image, error) || !DescribeImage(image, error)) {
    return fail();
  }
  image->row = static_cast<uint8_t*>(std::malloc(StoredRowBytes(image)));
  image->selected = static_cast<uint8_t*>(std::malloc(
      static_cast<size_t>(image->info.width) * static_cast<size_t>(image->conversion.planes)));
  if (image->row == nullptr || image->selected == nullptr) {
    SetImageError(error, source, "out of memory");
    return fail();
  }
  *info = image->info;
  *out = image;
  return true;
}

}  // namespace

// ---- the interface ---------------------------------------------------------------

bool OpenImage(const char* path, const ImageOptions& options, ImageFile** image, ImageInfo* info,
               std::string* error) {
  *image = nullptr;
  ImageSource source;
  // Input that cannot seek is refused at its first bytes when they are no
  // image's, before the rest is copied.
  CopyRules rules;
  rules.cancel = options.cancel;
  rules.check = [](const uint8_t* head, size_t n, const std::string& name, std::string* why) {
    ImageSource named;
    named.name = name;
    return RecogniseFormat(head, n, named, why) != nullptr;
  };
  rules.limit = options.inputLimit;
  if (!OpenInputFile(path, rules, &source.file, &source.name, error)) return false;
  return OpenFromSource(&source, options, image, info, error);
}

bool ProbeImageFile(const char* path, std::string* error) {
  uint8_t head[kFormatHeadBytes] = {};
  size_t got = 0;
  bool regular = false;
  if (!PeekInputFile(path, head, sizeof head, &got, &regular, error)) return false;
  if (!regular) return true;
  ImageSource named;
  named.name = path;
  if (got == 0) {
    SetImageError(error, named, "empty file");
    return false;
  }
  return RecogniseFormat(head, got, named, error) != nullptr;
}

bool OpenImageStream(FILE* stream, const char* name, const ImageOptions& options,
                     ImageFile** image, ImageInfo* info, std::string* error) {
  *image = nullptr;
  ImageSource source;
  source.name = name != nullptr ? name : "(stream)";
  source.file = stream;
  if (stream == nullptr) {
    SetImageError(error, source, "cannot be read");
    return false;
  }
  return OpenFromSource(&source, options, image, info, error);
}

bool ReadImageRows(ImageFile* image, int32_t top, int32_t bottom, int32_t left, int32_t right,
                   int32_t loPlane, int32_t hiPlane, void* destination, int32_t rowBytes,
                   std::string* error, ColourRows* colour) {
  if (image->failed) {
    *error = image->failure;
    return false;
  }
  const ImageInfo& info = image->info;
  if (top < 0 || bottom > info.height || top > bottom || left < 0 || right > info.width ||
      left >= right || loPlane < 0 || hiPlane >= info.planes || loPlane > hiPlane ||
      destination == nullptr) {
    SetImageError(error, image->source,
                  "request outside the image: rows " + std::to_string(top) + ".." +
                      std::to_string(bottom) + ", columns " + std::to_string(left) + ".." +
                      std::to_string(right) + ", planes " + std::to_string(loPlane) + ".." +
                      std::to_string(hiPlane) + " of " + std::to_string(info.width) + " x " +
                      std::to_string(info.height) + " x " + std::to_string(info.planes));
    return false;
  }
  if (top == bottom) return true;
  const int32_t count = right - left;
  const int64_t needed = info.mode == kImageModeBitmap
                             ? (static_cast<int64_t>(count) + 7) / 8
                             : static_cast<int64_t>(count) * (hiPlane - loPlane + 1);
  if (rowBytes < needed) {
    SetImageError(error, image->source, "row distance " + std::to_string(rowBytes) +
                                            " is shorter than a row of " + std::to_string(needed) +
                                            (needed == 1 ? " byte" : " bytes"));
    return false;
  }
  if (colour != nullptr && (colour->dest == nullptr || colour->rowBytes < int64_t{3} * count)) {
    SetImageError(error, image->source, "colour rows need " + std::to_string(int64_t{3} * count) +
                                            " bytes each");
    return false;
  }
  RowRequest q;
  q.top = top;
  q.bottom = bottom;
  q.left = left;
  q.right = right;
  q.loPlane = loPlane;
  q.hiPlane = hiPlane;
  q.dest = static_cast<uint8_t*>(destination);
  q.stride = static_cast<size_t>(rowBytes);
  q.colour = colour;
  image->readStarted = true;
  std::string message;
  for (;;) {
    bool ok = false;
    if (image->resize != nullptr) {
      const RowSource below{image, NextSourceRow, RewindSourceRows};
      ok = ServeResizedRows(image->resize, below, q, info, image->inversion, image->selected, &message);
    } else {
      ok = ServeRows(image, q, &message);
    }
    if (ok) return true;
    // Memory that other images hold: everything back, wait, and again.
    if (!MemoryWanted(image->source) || !GiveBackMemory(image, &message) ||
        !WaitForMemory(image->source, &message)) {
      return FailImage(image, message, error);
    }
  }
}

bool ResizeImage(ImageFile* image, int32_t width, int32_t height, ImageInfo* info,
                 std::string* error) {
  if (image->failed) {
    *error = image->failure;
    return false;
  }
  if (image->readStarted) {
    SetImageError(error, image->source, "cannot be resized once its rows are being read");
    return false;
  }
  if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) {
    SetImageError(error, image->source, "cannot be resized to " + std::to_string(width) + " x " +
                                            std::to_string(height) + " pixels; each side must be 1 to " +
                                            std::to_string(kMaxImageSide));
    return false;
  }
  FreeResizeStage(image->resize);
  image->resize = nullptr;
  StoredLayout& l = image->layout;
  const bool swap = OrientationSwapsSides(l.orientation);
  const int32_t fullW = swap ? image->fullHeight : image->fullWidth;
  const int32_t fullH = swap ? image->fullWidth : image->fullHeight;
  // The JPEG decoder shrinks by 2, 4 or 8 almost for free, straight from
  // the DCT; what remains is resampled.
  int32_t scale = 1;
  if (image->reader == kJpegReader) {
    for (int32_t s : {8, 4, 2}) {
      if (static_cast<int64_t>(width) * s <= fullW && static_cast<int64_t>(height) * s <= fullH) {
        scale = s;
        break;
      }
    }
  }
  // What the reader will store at that scale (libjpeg rounds up).
  StoredLayout scaled = l;
  scaled.width = (image->fullWidth + scale - 1) / scale;
  scaled.height = (image->fullHeight + scale - 1) / scale;
  const int32_t sourceW = swap ? scaled.height : scaled.width;
  const int32_t sourceH = swap ? scaled.width : scaled.height;
  if (sourceW != width || sourceH != height) {
    std::string why;
    image->resize = NewResizeStage(scaled, sourceW, sourceH, width, height, image->plain,
                                   image->options.keepAlpha, &image->source, &why);
    if (image->resize == nullptr) {
      SetImageError(error, image->source, "cannot be resized: " + why);
      return false;
    }
  }
  if (scale != image->source.scaleDenominator) {
    // The reader opens again at the new scale for the first read.
    image->source.scaleDenominator = scale;
    l = scaled;
    CloseReader(image);
    image->nextRow = 0;
  }
  uint8_t* selected = static_cast<uint8_t*>(std::realloc(
      image->selected, static_cast<size_t>(width) * static_cast<size_t>(image->info.planes)));
  if (selected == nullptr) return FailImage(image, image->source.name + ": out of memory", error);
  image->selected = selected;
  image->info.width = width;
  image->info.height = height;
  image->info.decoderScale = scale;
  *info = image->info;
  return true;
}

void CloseImage(ImageFile* image) {
  if (image == nullptr) return;
  FreeResizeStage(image->resize);
  CloseReader(image);
  if (image->source.file != nullptr) std::fclose(image->source.file);
  FreeConversion(&image->conversion);
  FreeColourStage(&image->colour);
  std::free(image->row);
  std::free(image->selected);
  std::free(image->whole);
  EndMemoryAccount(image->source);
  delete image;
}
