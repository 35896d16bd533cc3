// Opening images and serving requests: format detection by content, the
// reader's position in the file, images held whole, orientation, and the
// conversion of each row into the requested mode and planes.
#include "host/image/ImageInput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/image/Convert.h"
#include "host/image/ImageInternal.h"
#include "host/image/InputFile.h"
#include "host/image/Resample.h"
#include "host/image/Resize.h"

struct ImageFile {
  ImageSource source;
  const ImageReader* reader = nullptr;
  void* state = nullptr;       // the reader's, while it is open
  StoredLayout layout;
  ImageOptions options;
  ImageInfo info;
  Conversion conversion;
  int32_t nextRow = 0;         // the stored row the reader delivers next
  uint8_t* row = nullptr;      // one stored row
  uint8_t* selected = nullptr; // one delivered row of all planes, for plane subsets
  // Images whose orientation needs the whole picture: the oriented image in
  // the stored layout, once loaded.
  bool holdWhole = false;
  uint8_t* whole = nullptr;
  uint64_t wholeBytes = 0;     // charged to the budget while `whole` is held
  bool failed = false;
  std::string failure;
  bool readStarted = false;
  // The stored size before the decoder was asked to shrink the image.
  int32_t fullWidth = 0;
  int32_t fullHeight = 0;
  // What the image delivers before inversion (the colour table as stored).
  ImageInfo plain;
  // A resized image: the stage that resamples it, and the next oriented
  // source row it takes.
  ResizeStage* resize = nullptr;
  int32_t sourceRow = 0;
};

namespace {

// ---- formats ------------------------------------------------------------------

struct FormatSignature {
  const char* name;            // as users know it
  const ImageReader* const* reader;  // null: never read
  const char* extensions;      // ".jpg.jpeg", for messages about unknown content
};

bool StartsWith(const uint8_t* head, size_t n, const char* magic, size_t length) {
  return n >= length && std::memcmp(head, magic, length) == 0;
}

bool IsPnm(const uint8_t* head, size_t n) {
  return n >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7' &&
         (head[2] == ' ' || head[2] == '\t' || head[2] == '\n' || head[2] == '\r' ||
          head[2] == '#');
}

const ImageReader* const kPnmReaderPointer = &kPnmReader;

// ISO media files (HEIF, MP4, QuickTime) start with a box: a size, "ftyp",
// then the major brand.
bool IsIsoMedia(const uint8_t* p, size_t k) { return k >= 12 && std::memcmp(p + 4, "ftyp", 4) == 0; }

// The major brands of HEIF images (libheif judges by them too); other ISO
// media is video.
bool HasHeifBrand(const uint8_t* p, size_t k, const char* const* brands) {
  if (!IsIsoMedia(p, k)) return false;
  for (; *brands != nullptr; ++brands) {
    if (std::memcmp(p + 8, *brands, 4) == 0) return true;
  }
  return false;
}

// The format of a file by its first bytes; `name` is set for formats known
// but not read, with a null result, and `readable` says whether a build
// with the format's library reads them.
const ImageReader* DetectFormat(const uint8_t* h, size_t n, const char** name, bool* readable) {
  *name = nullptr;
  *readable = false;
  struct Known {
    const char* name;
    const ImageReader* const* reader;
    bool (*match)(const uint8_t*, size_t);
  };
  static const Known known[] = {
      {"JPEG", &kJpegReader,
       [](const uint8_t* p, size_t k) { return StartsWith(p, k, "\xFF\xD8\xFF", 3); }},
      {"PNG", &kPngReader,
       [](const uint8_t* p, size_t k) { return StartsWith(p, k, "\x89PNG\r\n\x1A\n", 8); }},
      {"TIFF", &kTiffReader,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "II*\0", 4) || StartsWith(p, k, "MM\0*", 4) ||
                StartsWith(p, k, "II+\0", 4) || StartsWith(p, k, "MM\0+", 4);
       }},
      {"GIF", &kGifReader,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "GIF87a", 6) || StartsWith(p, k, "GIF89a", 6);
       }},
      {"WebP", &kWebpReader,
       [](const uint8_t* p, size_t k) {
         return k >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
       }},
      {"PNM", &kPnmReaderPointer, IsPnm},
      {"BMP", nullptr,
       [](const uint8_t* p, size_t k) {
         // "BM", then after the file header the size of a known DIB header.
         if (!StartsWith(p, k, "BM", 2) || k < 16 || p[15] != 0) return false;
         return p[14] == 12 || p[14] == 40 || p[14] == 52 || p[14] == 56 || p[14] == 64 ||
                p[14] == 108 || p[14] == 124;
       }},
      {"Photoshop (PSD)", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "8BPS", 4); }},
      {"JPEG 2000", nullptr,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "\0\0\0\x0CjP  ", 8) || StartsWith(p, k, "\xFF\x4F\xFF\x51", 4);
       }},
      {"JPEG XL", &kJxlReader,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "\xFF\x0A", 2) || StartsWith(p, k, "\0\0\0\x0CJXL \r\n\x87\n", 12);
       }},
      {"AVIF", &kHeifReader,
       [](const uint8_t* p, size_t k) {
         static const char* const brands[] = {"avif", "avis", nullptr};
         return HasHeifBrand(p, k, brands);
       }},
      {"HEIF", &kHeifReader,
       [](const uint8_t* p, size_t k) {
         static const char* const brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                              "hevs", "mif1", "msf1", "mif2", "miaf", nullptr};
         return HasHeifBrand(p, k, brands);
       }},
      {"ISO media (MP4 or QuickTime)", nullptr, IsIsoMedia},
      {"PDF", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "%PDF", 4); }},
      {"ZIP archive", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "PK\3\4", 4); }},
      {"QOI", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "qoif", 4); }},
  };
  for (const Known& k : known) {
    if (!k.match(h, n)) continue;
    *name = k.name;
    *readable = k.reader != nullptr;
    return k.reader != nullptr ? *k.reader : nullptr;
  }
  return nullptr;
}

// The format a file's extension promises, for the message when its content
// is none we know.
const char* FormatByExtension(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  std::string ext = path.substr(dot + 1);
  for (char& ch : ext) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  static const char* const table[][2] = {
      {"jpg", "JPEG"}, {"jpeg", "JPEG"}, {"jpe", "JPEG"}, {"jfif", "JPEG"},
      {"png", "PNG"},  {"tif", "TIFF"},  {"tiff", "TIFF"}, {"gif", "GIF"},
      {"webp", "WebP"}, {"pnm", "PNM"},  {"pbm", "PBM"},  {"pgm", "PGM"},
      {"ppm", "PPM"},  {"pam", "PAM"},   {"bmp", "BMP"},
      {"heic", "HEIC"}, {"heif", "HEIF"}, {"hif", "HEIF"}, {"avif", "AVIF"},
      {"jxl", "JPEG XL"},
  };
  for (const auto& entry : table) {
    if (ext == entry[0]) return entry[1];
  }
  return nullptr;
}

// "starts with "<htm"" or "starts with 00 01 fe ...".
std::string DescribeStart(const uint8_t* head, size_t n) {
  size_t shown = n < 8 ? n : 8;
  bool text = shown > 0;
  for (size_t i = 0; i < shown; ++i) {
    if (head[i] < 0x20 || head[i] > 0x7E) text = false;
  }
  std::string out = "it starts with ";
  if (text) {
    out += '"';
    out.append(reinterpret_cast<const char*>(head), shown);
    out += '"';
    return out;
  }
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ' ';
    out += hex[head[i] >> 4];
    out += hex[head[i] & 15];
  }
  return out;
}

std::string ReadableFormats() {
  std::string list;
  struct Entry {
    const ImageReader* reader;
    const char* name;
  };
  const Entry entries[] = {{kJpegReader, "JPEG"}, {kPngReader, "PNG"}, {kTiffReader, "TIFF"},
                           {kGifReader, "GIF"},   {kWebpReader, "WebP"},
                           {kHeifReader, "HEIF/HEIC, AVIF"}, {kJxlReader, "JPEG XL"}};
  for (const Entry& e : entries) {
    if (e.reader == nullptr) continue;
    list += e.name;
    list += ", ";
  }
  list += "PNM and PAM";
  return list;
}

// ---- orientation ---------------------------------------------------------------

const char* OrientationReason(int32_t orientation) {
  static const char* const reasons[] = {
      "", "", "", "EXIF orientation 3 (turned 180 degrees)",
      "EXIF orientation 4 (flipped upside down)", "EXIF orientation 5 (transposed)",
      "EXIF orientation 6 (turned 90 degrees)", "EXIF orientation 7 (transversed)",
      "EXIF orientation 8 (turned 270 degrees)"};
  return orientation >= 3 && orientation <= 8 ? reasons[orientation] : nullptr;
}

// Where stored pixel (x, y) of a sw x sh image lands once oriented.
void OrientedPosition(int32_t orientation, int32_t sw, int32_t sh, int32_t x, int32_t y,
                      int32_t* dx, int32_t* dy) {
  switch (orientation) {
    case 2: *dx = sw - 1 - x; *dy = y; break;
    case 3: *dx = sw - 1 - x; *dy = sh - 1 - y; break;
    case 4: *dx = x; *dy = sh - 1 - y; break;
    case 5: *dx = y; *dy = x; break;
    case 6: *dx = sh - 1 - y; *dy = x; break;
    case 7: *dx = sh - 1 - y; *dy = sw - 1 - x; break;
    case 8: *dx = y; *dy = sw - 1 - x; break;
    default: *dx = x; *dy = y; break;
  }
}

void MirrorRow(uint8_t* row, int32_t width, int32_t channels) {
  uint8_t tmp[256];
  const size_t ch = static_cast<size_t>(channels);
  for (int32_t a = 0, b = width - 1; a < b; ++a, --b) {
    std::memcpy(tmp, row + static_cast<size_t>(a) * ch, ch);
    std::memcpy(row + static_cast<size_t>(a) * ch, row + static_cast<size_t>(b) * ch, ch);
    std::memcpy(row + static_cast<size_t>(b) * ch, tmp, ch);
  }
}

// ---- modes and inversion ---------------------------------------------------------

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

// The delivered plane that holds alpha (kept alpha, or a multichannel
// image's stored alpha), which inversion leaves alone; -1 for none.
int32_t AlphaPlaneOf(const ImageFile* image) {
  if (image->info.alphaPlane) return image->info.planes - 1;
  if (image->info.mode == kImageModeMultichannel) return image->layout.alphaChannel;
  return -1;
}

// 255 - s for every sample of `count` delivered pixels (all planes) but
// alpha; in bitmap mode the first `count` bits flip.
void Invert(const ImageFile* image, uint8_t* pixels, int32_t count) {
  if (image->info.mode == kImageModeBitmap) {
    for (int32_t i = 0; i < count / 8; ++i) pixels[i] = static_cast<uint8_t>(~pixels[i]);
    if (count % 8 != 0) pixels[count / 8] = static_cast<uint8_t>(pixels[count / 8] ^ (0xFF00 >> (count % 8)));
    return;
  }
  const int32_t planes = image->info.planes;
  const int32_t alpha = AlphaPlaneOf(image);
  const size_t n = static_cast<size_t>(count) * static_cast<size_t>(planes);
  if (alpha < 0) {
    for (size_t i = 0; i < n; ++i) pixels[i] = static_cast<uint8_t>(255 - pixels[i]);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<int32_t>(i % static_cast<size_t>(planes)) != alpha) pixels[i] = static_cast<uint8_t>(255 - pixels[i]);
  }
}

// Inverted indices keep meaning the same picture, inverted: entry i of the
// table moves to 255 - i as its inverse colour.
void InvertPalette(ImageInfo* info) {
  if (info->mode != kImageModeIndexed || info->paletteCount <= 0) return;
  uint8_t table[256][3] = {};
  for (int32_t i = 0; i < info->paletteCount; ++i) {
    for (int k = 0; k < 3; ++k) table[255 - i][k] = static_cast<uint8_t>(255 - info->palette[i][k]);
  }
  std::memcpy(info->palette, table, sizeof table);
  info->paletteCount = 256;
  if (info->transparentIndex >= 0) info->transparentIndex = 255 - info->transparentIndex;
}

// ---- the reader's position ---------------------------------------------------

bool Fail(ImageFile* image, const std::string& message, std::string* error) {
  image->failed = true;
  image->failure = message;
  *error = message;
  return false;
}

size_t StoredRowBytes(const ImageFile* image) {
  return static_cast<size_t>(image->layout.width) * static_cast<size_t>(image->layout.channels);
}

bool Rewind(ImageSource* source) { return fseeko(source->file, 0, SEEK_SET) == 0; }

// Closes the reader; what it took from the budget is given back.
void CloseReader(ImageFile* image) {
  if (image->state != nullptr) image->reader->close(image->state);
  image->state = nullptr;
  image->source.memoryCharged = image->wholeBytes;
}

// Starts decoding again from the top of the file.
bool Restart(ImageFile* image, std::string* error) {
  CloseReader(image);
  image->nextRow = 0;
  if (!Rewind(&image->source)) {
    SetImageError(error, image->source, "cannot go back to the start of the file");
    return false;
  }
  StoredLayout again;
  if (!image->reader->open(&image->source, &image->state, &again, error)) return false;
  if (again.width != image->layout.width || again.height != image->layout.height ||
      again.channels != image->layout.channels || again.space != image->layout.space) {
    SetImageError(error, image->source, "the file changed while it was being read");
    return false;
  }
  return true;
}

// Reads the next `count` stored rows into rows[0..count-1].
bool ReadStoredRows(ImageFile* image, uint8_t* const* rows, int32_t count, std::string* error) {
  if (image->state == nullptr && !Restart(image, error)) return false;
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
  if (image->nextRow != 0 && !Restart(image, error)) return false;
  const size_t ch = static_cast<size_t>(l.channels);
  const int32_t outWidth = l.orientation >= 5 ? l.height : l.width;
  for (int32_t y = 0; y < l.height; ++y) {
    if (Interrupted(image->source, error)) return false;
    uint8_t* row = image->row;
    if (!ReadStoredRows(image, &row, 1, error)) return false;
    for (int32_t x = 0; x < l.width; ++x) {
      int32_t dx = 0, dy = 0;
      OrientedPosition(l.orientation, l.width, l.height, x, y, &dx, &dy);
      size_t at = (static_cast<size_t>(dy) * static_cast<size_t>(outWidth) + static_cast<size_t>(dx)) * ch;
      std::memcpy(image->whole + at, row + static_cast<size_t>(x) * ch, ch);
    }
  }
  CloseReader(image);
  return true;
}

// Converts one run of stored pixels into the requested planes of a row.
void DeliverRow(ImageFile* image, const uint8_t* stored, int32_t count, int32_t loPlane,
                int32_t hiPlane, uint8_t* dest) {
  const int32_t planes = image->conversion.planes;
  if (image->info.mode == kImageModeBitmap || (loPlane == 0 && hiPlane == planes - 1)) {
    ConvertPixels(&image->conversion, stored, count, dest);
    if (image->options.invert) Invert(image, dest, count);
    return;
  }
  ConvertPixels(&image->conversion, stored, count, image->selected);
  if (image->options.invert) Invert(image, image->selected, count);
  const size_t take = static_cast<size_t>(hiPlane - loPlane + 1);
  for (int32_t i = 0; i < count; ++i) {
    std::memcpy(dest + static_cast<size_t>(i) * take,
                image->selected + static_cast<size_t>(i) * static_cast<size_t>(planes) +
                    static_cast<size_t>(loPlane),
                take);
  }
}

// The reader for a file starting with `head`, or null with the users'
// message: an unknown format, or one this build does not read.
const ImageReader* RecogniseFormat(const uint8_t* head, size_t got, const ImageSource& source,
                                   std::string* error) {
  const char* known = nullptr;
  bool readable = false;
  const ImageReader* reader = DetectFormat(head, got, &known, &readable);
  if (reader != nullptr) return reader;
  // "a JPEG", "an AVIF".
  auto article = [](const char* format) {
    return std::string(std::strchr("AEIOU", format[0]) != nullptr ? "an " : "a ") + format;
  };
  if (known != nullptr && readable) {
    SetImageError(error, source, article(known) + " file, and this build cannot read " + known +
                                     " (it reads " + ReadableFormats() + ")");
  } else if (known != nullptr) {
    SetImageError(error, source, article(known) + " file, which is not supported (readable formats: " +
                                     ReadableFormats() + ")");
  } else if (const char* promised = FormatByExtension(source.name)) {
    SetImageError(error, source, "not " + article(promised) + " file (" +
                                     DescribeStart(head, got) + ")");
  } else {
    SetImageError(error, source, "not an image file (" + DescribeStart(head, got) +
                                     "; readable formats: " + ReadableFormats() + ")");
  }
  return nullptr;
}

// The next oriented source row of a resized image.
bool NextSourceRow(ImageFile* image, const uint8_t** row, std::string* error) {
  if (image->holdWhole) {
    if (image->whole == nullptr && !LoadWhole(image, error)) return false;
    const bool swap = image->layout.orientation >= 5;
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

bool ReadResizedRows(ImageFile* image, int32_t top, int32_t bottom, int32_t left, int32_t right,
                     int32_t loPlane, int32_t hiPlane, uint8_t* dest, size_t stride,
                     std::string* error) {
  ResizeStage* stage = image->resize;
  if (top < ResizeStageFirstRow(stage)) {
    if (!ResetResizeStage(stage, error)) return false;
    image->sourceRow = 0;
    if (!image->holdWhole && image->nextRow != 0 && !Restart(image, error)) return false;
  }
  // Rows from `top` on stay, so that a band asked for again needs no restart.
  ResizeStageDrop(stage, top);
  const int32_t count = right - left;
  const int32_t planes = image->info.planes;
  const bool all = image->info.mode == kImageModeBitmap || (loPlane == 0 && hiPlane == planes - 1);
  const size_t take = static_cast<size_t>(hiPlane - loPlane + 1);
  for (int32_t r = top; r < bottom; ++r) {
    while (ResizeStageEndRow(stage) <= r) {
      const uint8_t* row = nullptr;
      if (!NextSourceRow(image, &row, error) || !ResizeStagePush(stage, row, error)) return false;
      ResizeStageDrop(stage, top);
    }
    uint8_t* out = dest + static_cast<size_t>(r - top) * stride;
    uint8_t* pixels = all ? out : image->selected;
    ResizeStageDeliver(stage, r, left, count, pixels);
    if (image->options.invert) Invert(image, pixels, count);
    if (all) continue;
    for (int32_t i = 0; i < count; ++i) {
      std::memcpy(out + static_cast<size_t>(i) * take,
                  pixels + static_cast<size_t>(i) * static_cast<size_t>(planes) + static_cast<size_t>(loPlane),
                  take);
    }
  }
  return true;
}

bool OpenFromSource(ImageSource* sourceIn, const ImageOptions& options, ImageFile** out,
                    ImageInfo* info, std::string* error) {
  ImageFile* image = new ImageFile;
  image->source = std::move(*sourceIn);
  image->options = options;
  ImageSource& source = image->source;
  source.memoryLimit = options.memoryLimit;
  source.cancel = options.cancel;
  source.wantsGray = options.mode == kImageModeGray || options.mode == kImageModeDuotone ||
                     options.mode == kImageModeBitmap;
  auto fail = [&]() {
    CloseImage(image);
    return false;
  };

  if (options.mode < kImageModeOwn || options.mode > kImageModeLab) {
    SetImageError(error, source, "unknown image mode " + std::to_string(options.mode));
    return fail();
  }
  if (fseeko(source.file, 0, SEEK_END) != 0) {
    SetImageError(error, source, "cannot be read (not a seekable file)");
    return fail();
  }
  off_t end = ftello(source.file);
  if (end < 0 || !Rewind(&source)) {
    SetImageError(error, source, "cannot be read (not a seekable file)");
    return fail();
  }
  source.size = static_cast<uint64_t>(end);
  if (source.size == 0) {
    SetImageError(error, source, "empty file");
    return fail();
  }
  uint8_t head[16] = {};
  size_t got = std::fread(head, 1, sizeof head, source.file);
  if (got == 0 || !Rewind(&source)) {
    SetImageError(error, source, std::string("cannot be read (") + std::strerror(errno) + ")");
    return fail();
  }
  image->reader = RecogniseFormat(head, got, source, error);
  if (image->reader == nullptr) return fail();

  if (!image->reader->open(&source, &image->state, &image->layout, error)) return fail();
  StoredLayout& l = image->layout;
  if (!CheckImageSize(source, l.width, l.height, error)) return fail();
  if (l.channels < 1 || l.channels > 255 || l.orientation < 1 || l.orientation > 8) {
    SetImageError(error, source, "unsupported layout");
    return fail();
  }

  ImageInfo& i = image->info;
  i = ImageInfo();
  i.format = l.format;
  i.orientation = l.orientation != 1 ? l.orientation : l.decodedOrientation;
  const bool swap = l.orientation >= 5;
  i.width = swap ? l.height : l.width;
  i.height = swap ? l.width : l.height;
  image->holdWhole = OrientationReason(l.orientation) != nullptr;
  i.decodedWhole = image->holdWhole ? OrientationReason(l.orientation) : l.wholeReason;
  i.ownMode = DefaultMode(l);
  i.mode = options.mode == kImageModeOwn ? i.ownMode : options.mode;
  std::string why;
  if (!PrepareConversion(l, i.mode, options.keepAlpha, i.width, &image->conversion, &why)) {
    SetImageError(error, source, std::string("cannot be delivered in ") + ImageModeName(i.mode) +
                                     " mode: " + why);
    return fail();
  }
  i.planes = static_cast<int16_t>(image->conversion.planes);
  i.depth = i.mode == kImageModeBitmap ? 1 : 8;
  i.alphaPlane = image->conversion.alphaPlane;
  DeliveredPalette(image->conversion, i.palette, &i.paletteCount, &i.transparentIndex);
  image->plain = i;
  if (options.invert) InvertPalette(&i);
  image->fullWidth = l.width;
  image->fullHeight = l.height;

  image->row = static_cast<uint8_t*>(std::malloc(StoredRowBytes(image)));
  image->selected = static_cast<uint8_t*>(
      std::malloc(static_cast<size_t>(i.width) * static_cast<size_t>(image->conversion.planes)));
  if (image->row == nullptr || image->selected == nullptr) {
    SetImageError(error, source, "out of memory");
    return fail();
  }
  *info = i;
  *out = image;
  return true;
}

}  // namespace

// ---- shared helpers --------------------------------------------------------------

void SetImageError(std::string* error, const ImageSource& source, const std::string& message) {
  *error = source.name + ": " + message;
}

bool CheckImageSize(const ImageSource& source, int64_t width, int64_t height, std::string* error) {
  if (width <= 0 || height <= 0) {
    SetImageError(error, source, "empty image: " + std::to_string(width) + " x " +
                                     std::to_string(height) + " pixels");
    return false;
  }
  if (width > kMaxImageSide || height > kMaxImageSide) {
    SetImageError(error, source, "too large: " + std::to_string(width) + " x " +
                                     std::to_string(height) + " pixels; at most " +
                                     std::to_string(kMaxImageSide) + " in each direction");
    return false;
  }
  return true;
}

bool CheckedProduct(uint64_t a, uint64_t b, uint64_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}

bool CheckDeclaredSize(const ImageSource& source, uint64_t decodedBytes, uint64_t maxRatio,
                       const char* format, std::string* error) {
  uint64_t most = 0;
  if (CheckedProduct(source.size, maxRatio, &most) && decodedBytes > most) {
    SetImageError(error, source, TruncatedMessage(format) + " (its header declares " +
                                     DescribeBytes(decodedBytes) + " of pixels, more than " +
                                     DescribeBytes(source.size) + " can hold)");
    return false;
  }
  return true;
}

// "297 bytes", "40 KB", "1200 MB".
std::string DescribeBytes(uint64_t n) {
  if (n >= (uint64_t{10} << 20)) return std::to_string((n + (1u << 20) - 1) >> 20) + " MB";
  if (n >= (uint64_t{10} << 10)) return std::to_string((n + 1023) >> 10) + " KB";
  return std::to_string(n) + " bytes";
}

std::string MemoryLimitMessage(const ImageSource& source, uint64_t needed, const char* what) {
  std::string reason = what != nullptr ? std::string(" (") + what + ")" : std::string();
  if (needed == 0) {
    return "needs more than the limit of " + DescribeBytes(source.memoryLimit) +
           " to decode the image whole" + reason + " (--max-memory changes it)";
  }
  return "needs " + DescribeBytes(needed) + " to decode the image whole" + reason +
         ", more than the limit of " + DescribeBytes(source.memoryLimit) + " (--max-memory changes it)";
}

std::string OutOfMemoryMessage(uint64_t bytes, const char* what) {
  std::string reason = what != nullptr ? std::string(" (") + what + ")" : std::string();
  return "not enough memory to decode the image whole" + reason +
         (bytes != 0 ? ": " + DescribeBytes(bytes) : std::string());
}

bool ChargeMemory(const ImageSource& source, uint64_t bytes, const char* what, std::string* error) {
  uint64_t total = 0;
  if (__builtin_add_overflow(source.memoryCharged, bytes, &total)) total = UINT64_MAX;
  if (source.memoryLimit != 0 && total > source.memoryLimit) {
    SetImageError(error, source, MemoryLimitMessage(source, total, what));
    return false;
  }
  source.memoryCharged = total;
  return true;
}

void ReleaseMemory(const ImageSource& source, uint64_t bytes) {
  source.memoryCharged = bytes < source.memoryCharged ? source.memoryCharged - bytes : 0;
}

uint64_t MemoryLeft(const ImageSource& source) {
  if (source.memoryLimit == 0) return UINT64_MAX;
  return source.memoryCharged < source.memoryLimit ? source.memoryLimit - source.memoryCharged : 0;
}

uint8_t* AllocateImageMemory(const ImageSource& source, uint64_t bytes, const char* what,
                             std::string* error) {
  if (!ChargeMemory(source, bytes, what, error)) return nullptr;
  void* memory = nullptr;
  if (bytes <= SIZE_MAX) memory = std::malloc(static_cast<size_t>(bytes > 0 ? bytes : 1));
  if (memory == nullptr) {
    ReleaseMemory(source, bytes);
    SetImageError(error, source, OutOfMemoryMessage(bytes, what));
  }
  return static_cast<uint8_t*>(memory);
}

bool Interrupted(const ImageSource& source, std::string* error) {
  if (!CancelRequested(source)) return false;
  SetImageError(error, source, "interrupted");
  return true;
}

bool ReadSourceBytes(ImageSource* source, void* buffer, size_t size) {
  return std::fread(buffer, 1, size, source->file) == size;
}

std::string TruncatedMessage(const char* format) {
  return std::string("truncated ") + format + " file: it ends before the image data does";
}

// ---- the interface ---------------------------------------------------------------

bool OpenImage(const char* path, const ImageOptions& options, ImageFile** image, ImageInfo* info,
               std::string* error) {
  *image = nullptr;
  ImageSource source;
  // Input that cannot seek is refused at its first bytes when they are no
  // image's, before the rest is copied.
  auto accept = [](const uint8_t* head, size_t n, const std::string& name, std::string* why) {
    ImageSource named;
    named.name = name;
    return RecogniseFormat(head, n, named, why) != nullptr;
  };
  if (!OpenInputFile(path, options.cancel, accept, &source.file, &source.name, error)) return false;
  return OpenFromSource(&source, options, image, info, error);
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
                   std::string* error) {
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
                                            " bytes");
    return false;
  }
  uint8_t* dest = static_cast<uint8_t*>(destination);
  const size_t stride = static_cast<size_t>(rowBytes);
  const size_t ch = static_cast<size_t>(image->layout.channels);
  std::string message;
  image->readStarted = true;

  if (image->resize != nullptr) {
    if (!ReadResizedRows(image, top, bottom, left, right, loPlane, hiPlane, dest, stride, &message)) {
      return Fail(image, message, error);
    }
    return true;
  }

  if (image->holdWhole) {
    if (image->whole == nullptr && !LoadWhole(image, &message)) return Fail(image, message, error);
    for (int32_t r = top; r < bottom; ++r) {
      const uint8_t* src = image->whole +
                           (static_cast<size_t>(r) * static_cast<size_t>(info.width) +
                            static_cast<size_t>(left)) * ch;
      DeliverRow(image, src, count, loPlane, hiPlane, dest + static_cast<size_t>(r - top) * stride);
    }
    return true;
  }

  if (top < image->nextRow && !Restart(image, &message)) return Fail(image, message, error);
  while (image->nextRow < top) {
    uint8_t* row = image->row;
    if (!ReadStoredRows(image, &row, 1, &message)) return Fail(image, message, error);
  }
  const bool mirror = image->layout.orientation == 2;
  const bool direct = image->conversion.identity && !mirror && left == 0 &&
                      right == info.width && loPlane == 0 && hiPlane == info.planes - 1;
  if (direct) {
    // Straight into the caller's rows, a bounded number of row pointers at a time.
    uint8_t* rows[64];
    for (int32_t r = top; r < bottom;) {
      int32_t n = bottom - r < 64 ? bottom - r : 64;
      for (int32_t k = 0; k < n; ++k) rows[k] = dest + static_cast<size_t>(r - top + k) * stride;
      if (!ReadStoredRows(image, rows, n, &message)) return Fail(image, message, error);
      if (image->options.invert) {
        for (int32_t k = 0; k < n; ++k) Invert(image, rows[k], info.width);
      }
      r += n;
    }
    return true;
  }
  for (int32_t r = top; r < bottom; ++r) {
    uint8_t* row = image->row;
    if (!ReadStoredRows(image, &row, 1, &message)) return Fail(image, message, error);
    if (mirror) MirrorRow(row, image->layout.width, image->layout.channels);
    DeliverRow(image, row + static_cast<size_t>(left) * ch, count, loPlane, hiPlane,
               dest + static_cast<size_t>(r - top) * stride);
  }
  return true;
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
  const bool swap = l.orientation >= 5;
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
                                   image->options.keepAlpha, &why);
    if (image->resize == nullptr) {
      SetImageError(error, image->source, "cannot be resized: " + why);
      return false;
    }
  }
  std::string message;
  if (scale != image->source.scaleDenominator) {
    image->source.scaleDenominator = scale;
    l = scaled;
    if (!Restart(image, &message)) return Fail(image, message, error);
  }
  uint8_t* selected = static_cast<uint8_t*>(std::realloc(
      image->selected, static_cast<size_t>(width) * static_cast<size_t>(image->info.planes)));
  if (selected == nullptr) return Fail(image, image->source.name + ": out of memory", error);
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
  std::free(image->row);
  std::free(image->selected);
  std::free(image->whole);
  delete image;
}

const char* ImageModeName(int16_t mode) {
  switch (mode) {
    case kImageModeBitmap: return "bitmap";
    case kImageModeGray: return "gray";
    case kImageModeIndexed: return "indexed";
    case kImageModeRGB: return "rgb";
    case kImageModeCMYK: return "cmyk";
    case kImageModeHSL: return "hsl";
    case kImageModeHSB: return "hsb";
    case kImageModeMultichannel: return "multichannel";
    case kImageModeDuotone: return "duotone";
    case kImageModeLab: return "lab";
    case kImageModeOwn: return "own";
    default: return "unknown";
  }
}

bool ParseImageMode(const char* text, int16_t* mode) {
  if (text == nullptr) return false;
  std::string t = text;
  for (char& ch : t) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  if (t == "grey" || t == "grayscale" || t == "greyscale") t = "gray";
  for (int16_t m = kImageModeBitmap; m <= kImageModeLab; ++m) {
    if (t == ImageModeName(m)) {
      *mode = m;
      return true;
    }
  }
  return false;
}

const char* ImageInputHelp() {
  static const std::string text = [] {
    std::string streamed, whole;
    auto add = [](std::string* list, const char* item) {
      if (!list->empty()) *list += ", ";
      *list += item;
    };
    if (kSystemDecoders != nullptr) {
      // The system's decoders may hold any image whole; it is counted so.
      add(&whole, (std::string("JPEG, PNG, TIFF and GIF, by ") + kSystemDecoders).c_str());
    } else {
      if (kJpegReader != nullptr) {
        add(&streamed, "baseline JPEG");
        add(&whole, "progressive JPEG");
      }
      if (kPngReader != nullptr) {
        add(&streamed, "non-interlaced PNG");
        add(&whole, "interlaced PNG");
      }
      if (kTiffReader != nullptr) {
        add(&streamed, "TIFF in strips or tiles");
        add(&whole, "TIFF with separate planes or an encoding read through libtiff's RGBA interface");
      }
      if (kGifReader != nullptr) {
        add(&streamed, "non-interlaced GIF");
        add(&whole, "interlaced GIF");
      }
    }
    add(&streamed, "PNM and PAM");
    if (kWebpReader != nullptr) add(&whole, "WebP");
    if (kHeifReader != nullptr) add(&whole, "HEIF/HEIC, AVIF");
    if (kJxlReader != nullptr) add(&whole, "JPEG XL");
    // Orientation comes with the formats that carry it.
    if (!whole.empty()) add(&whole, "any image whose orientation turns it or flips it upside down");
    std::string s = "Input formats (recognised by content): " + ReadableFormats() + ".\n";
    s += "Decoded a band at a time, however tall: " + streamed + ".\n";
    if (!whole.empty()) s += "Decoded whole, in memory: " + whole + ".\n";
    s += "Each image opens in its own mode: gray, rgb, cmyk or lab as stored. Palette images\n"
         "(GIF, palette PNG and TIFF) open as rgb, or gray when every colour of the palette is\n"
         "grey; --mode indexed gives their indices. Grey with alpha and 1-bit images open as\n"
         "gray; alpha is composited over white unless kept; channels beyond colour and alpha\n"
         "show only in multichannel mode, as do images whose channels have no known colour.\n";
    if (ResamplingAvailable()) {
      s += "Resizing averages colour before converting it (Lanczos 3, libswscale), a band at a\n"
           "time; a JPEG at 1/2, 1/4 or 1/8 of its size or less is first shrunk by its decoder.\n";
    } else {
      s += "This build cannot resize images (it was built without libswscale).\n";
    }
    return s;
  }();
  return text.c_str();
}
