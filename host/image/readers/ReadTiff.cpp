// TIFF through libtiff. Files with interleaved samples are read a row at a
// time (strips, through TIFFReadScanline) or a row of tiles at a time;
// files with separate planes are gathered whole, plane by plane; encodings
// only libtiff's RGBA interface reads (subsampled YCbCr, old-style JPEG,
// LogLuv...) are decoded whole through it. libtiff's messages go to the
// handlers of this file's handle, never to the terminal.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tiffio.h>

#include "host/image/input/ImageInternal.h"

namespace {

enum class Path { Scanlines, Tiles, Planes, Rgba };

struct TiffState {
  TIFF* tif = nullptr;
  ImageSource* source = nullptr;
  char message[512] = {};
  Path path = Path::Scanlines;
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits = 8;
  uint16_t samples = 1;      // samples a pixel in the file (and delivered)
  int32_t channels = 0;      // delivered
  StoredSpace space = StoredSpace::Gray;
  bool minIsWhite = false;
  bool invertInks = false;   // CMYK: 0 = no ink in the file
  bool labSigned = false;    // CIELab: a and b signed
  bool scaleLow = false;     // samples of 1, 2 or 4 bits stand for 0..255
  uint8_t low[16] = {};      // their scale
  uint32_t next = 0;         // the next row
  uint8_t* raw = nullptr;    // one scanline or one tile as libtiff delivers it
  size_t rawBytes = 0;
  // Tiles: one row of tiles, as one band of packed rows.
  uint32_t tileWidth = 0;
  uint32_t tileHeight = 0;
  uint8_t* tileRows = nullptr;
  size_t tileRowBytes = 0;   // bytes of one row across all tiles
  uint32_t tileTop = UINT32_MAX;  // image row at the top of the loaded tiles
  // Planes and RGBA: the whole image in the delivered layout.
  uint8_t* whole = nullptr;
};

// Keeps libtiff's first message, without the function name and the file
// name it puts in front, which tell users nothing.
int OnError(TIFF*, void* user, const char*, const char* format, va_list args) {
  TiffState* s = static_cast<TiffState*>(user);
  if (s->message[0] != '\0') return 1;
  std::vsnprintf(s->message, sizeof s->message, format, args);
  const std::string name = s->source->name + ": ";
  if (std::strncmp(s->message, name.c_str(), name.size()) == 0) {
    std::memmove(s->message, s->message + name.size(), std::strlen(s->message + name.size()) + 1);
  }
  return 1;
}

// libjpeg calls damaged data a warning and goes on with grey; inside a
// TIFF as in a JPEG file, that is damage, and reading stops there.
int OnWarning(TIFF* tif, void* user, const char* module, const char* format, va_list args) {
  if (module == nullptr || std::strcmp(module, "JPEGLib") != 0) return 1;
  char text[512];
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  const bool damage = (std::strncmp(text, "Corrupt JPEG data", 17) == 0 &&
                       std::strstr(text, "extraneous bytes") == nullptr) ||
                      std::strncmp(text, "Premature end of JPEG", 21) == 0 ||
                      std::strncmp(text, "Invalid SOS parameters", 22) == 0 ||
                      std::strncmp(text, "Inconsistent progression", 24) == 0;
  return damage ? OnError(tif, user, module, format, args) : 1;
}

// --- the source as libtiff sees it ---------------------------------------------

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
  TiffState* s = static_cast<TiffState*>(handle);
  if (size <= 0) return 0;
  return static_cast<tmsize_t>(std::fread(buffer, 1, static_cast<size_t>(size), s->source->file));
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return -1; }

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  TiffState* s = static_cast<TiffState*>(handle);
  if (offset > static_cast<toff_t>(INT64_MAX)) return static_cast<toff_t>(-1);
  if (fseeko(s->source->file, static_cast<off_t>(offset), whence) != 0) return static_cast<toff_t>(-1);
  off_t at = ftello(s->source->file);
  return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}

int CloseProc(thandle_t) { return 0; }

toff_t SizeProc(thandle_t handle) { return static_cast<TiffState*>(handle)->source->size; }

int MapProc(thandle_t, void**, toff_t*) { return 0; }

void UnmapProc(thandle_t, void*, toff_t) {}

// --- messages -------------------------------------------------------------------

bool Failure(TiffState* s, const char* fallback, std::string* error) {
  const char* m = s->message[0] != '\0' ? s->message : fallback;
  if (std::strstr(m, "Read error") != nullptr || std::strstr(m, "Seek error") != nullptr ||
      std::strstr(m, "end of file") != nullptr || std::strstr(m, "past end") != nullptr ||
      std::strstr(m, "Can not read TIFF directory") != nullptr) {
    SetImageError(error, *s->source, TruncatedMessage("TIFF") + " (" + m + ")");
  } else {
    SetImageError(error, *s->source, std::string("corrupt TIFF data: ") + m);
  }
  return false;
}

bool Unsupported(TiffState* s, const std::string& what, std::string* error) {
  SetImageError(error, *s->source, "unsupported TIFF file: " + what);
  return false;
}

// --- samples --------------------------------------------------------------------

// `count` samples of `bits` bits, packed from the top bit, into bytes at
// out[i * stride]: 16-bit samples scaled to 8 bits, narrower ones as they are.
void Unpack(const uint8_t* in, size_t count, int bits, uint8_t* out, size_t stride) {
  if (bits == 8) {
    if (stride == 1) {
      std::memcpy(out, in, count);
    } else {
      for (size_t i = 0; i < count; ++i) out[i * stride] = in[i];
    }
  } else if (bits == 16) {
    for (size_t i = 0; i < count; ++i) {
      uint16_t v;
      std::memcpy(&v, in + 2 * i, 2);
      out[i * stride] = static_cast<uint8_t>((static_cast<uint32_t>(v) * 255 + 32767) / 65535);
    }
  } else {
    const unsigned mask = (1u << bits) - 1;
    for (size_t i = 0; i < count; ++i) {
      size_t bit = i * static_cast<size_t>(bits);
      unsigned byte = in[bit >> 3];
      out[i * stride] = static_cast<uint8_t>((byte >> (8 - bits - (bit & 7))) & mask);
    }
  }
}

// Turns unpacked samples into the delivered values.
void FinishRow(const TiffState* s, uint8_t* row) {
  const size_t n = static_cast<size_t>(s->width);
  const size_t ch = static_cast<size_t>(s->channels);
  if (s->scaleLow) {
    const size_t first = s->space == StoredSpace::Indexed ? 1 : 0;
    for (size_t i = 0; i < n; ++i) {
      for (size_t k = first; k < ch; ++k) row[i * ch + k] = s->low[row[i * ch + k] & 15];
    }
  }
  if (s->minIsWhite) {
    for (size_t i = 0; i < n; ++i) row[i * ch] = static_cast<uint8_t>(255 - row[i * ch]);
  }
  if (s->invertInks) {
    for (size_t i = 0; i < n; ++i) {
      for (size_t k = 0; k < 4; ++k) row[i * ch + k] = static_cast<uint8_t>(255 - row[i * ch + k]);
    }
  }
  if (s->labSigned) {
    for (size_t i = 0; i < n; ++i) {
      row[i * ch + 1] ^= 0x80;
      row[i * ch + 2] ^= 0x80;
    }
  }
}

// --- opening ---------------------------------------------------------------------

bool ReadPalette(TiffState* s, StoredLayout* layout, std::string* error) {
  uint16_t* red = nullptr;
  uint16_t* green = nullptr;
  uint16_t* blue = nullptr;
  if (s->bits > 8) return Unsupported(s, "a colour table of " + std::to_string(s->bits) + "-bit indices", error);
  if (TIFFGetField(s->tif, TIFFTAG_COLORMAP, &red, &green, &blue) == 0 || red == nullptr) {
    SetImageError(error, *s->source, "corrupt TIFF file: a palette image without a colour table");
    return false;
  }
  const int count = 1 << s->bits;
  // Some writers put 8-bit values in the 16-bit table.
  bool eightBit = true;
  for (int i = 0; i < count; ++i) {
    if (red[i] > 255 || green[i] > 255 || blue[i] > 255) eightBit = false;
  }
  for (int i = 0; i < count; ++i) {
    const uint16_t v[3] = {red[i], green[i], blue[i]};
    for (int k = 0; k < 3; ++k) {
      layout->palette[i][k] = static_cast<uint8_t>(eightBit ? v[k] : (v[k] * 255u + 32767u) / 65535u);
    }
  }
  for (int i = 0; i < 256; ++i) layout->palette[i][3] = 255;
  layout->paletteCount = count;
  return true;
}

// Reads the tags and chooses how to read the pixels.
bool Describe(TiffState* s, StoredLayout* layout, std::string* error) {
  TIFF* tif = s->tif;
  uint32_t width = 0, height = 0;
  uint16_t photometric = 0, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
  uint16_t compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &s->bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &s->samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 0) {
    photometric = s->samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  s->width = width;
  s->height = height;
  layout->width = static_cast<int32_t>(width > 0x7fffffff ? 0x7fffffff : width);
  layout->height = static_cast<int32_t>(height > 0x7fffffff ? 0x7fffffff : height);
  if (!CheckImageSize(*s->source, layout->width, layout->height, error)) return false;
  layout->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  if (s->samples < 1 || s->samples > 255) {
    return Unsupported(s, std::to_string(s->samples) + " samples a pixel", error);
  }

  // Alpha: the first extra sample that says it is one.
  uint16_t extraCount = 0;
  uint16_t* extraTypes = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);

  int colour = 1;
  bool rgba = false;
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      s->space = StoredSpace::Gray;
      s->minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
      layout->bilevel = s->bits == 1;
      break;
    case PHOTOMETRIC_RGB:
      s->space = StoredSpace::RGB;
      colour = 3;
      break;
    case PHOTOMETRIC_PALETTE:
      s->space = StoredSpace::Indexed;
      if (!ReadPalette(s, layout, error)) return false;
      break;
    case PHOTOMETRIC_SEPARATED: {
      uint16_t inks = INKSET_CMYK;
      TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inks);
      if (inks == INKSET_CMYK && s->samples >= 4) {
        s->space = StoredSpace::CMYK;
        s->invertInks = true;
        colour = 4;
      } else {
        s->space = StoredSpace::Unknown;
        colour = s->samples;
      }
      break;
    }
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
      if (s->bits != 8) return Unsupported(s, std::to_string(s->bits) + "-bit Lab", error);
      s->space = StoredSpace::Lab;
      s->labSigned = photometric == PHOTOMETRIC_CIELAB;
      colour = 3;
      break;
    case PHOTOMETRIC_YCBCR:
      if (compression == COMPRESSION_JPEG && planar == PLANARCONFIG_CONTIG) {
        // libjpeg converts to RGB as it decodes.
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        s->space = StoredSpace::RGB;
        colour = 3;
      } else {
        rgba = true;
      }
      break;
    default:
      rgba = true;
      break;
  }
  if (!rgba && s->samples < colour) {
    SetImageError(error, *s->source, "corrupt TIFF file: " + std::to_string(s->samples) +
                                         " samples a pixel are too few for its colour");
    return false;
  }
  if (!rgba && format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
    return Unsupported(s, format == SAMPLEFORMAT_IEEEFP ? "floating-point samples" : "signed samples", error);
  }
  if (!rgba && s->bits != 1 && s->bits != 2 && s->bits != 4 && s->bits != 8 && s->bits != 16) {
    return Unsupported(s, std::to_string(s->bits) + "-bit samples", error);
  }
  if (rgba) {
    char why[1024] = {};
    if (TIFFRGBAImageOK(tif, why) == 0) return Unsupported(s, why, error);
    s->path = Path::Rgba;
    s->space = StoredSpace::RGB;
    bool alpha = false;
    for (uint16_t i = 0; i < extraCount; ++i) {
      alpha = alpha || extraTypes[i] == EXTRASAMPLE_ASSOCALPHA || extraTypes[i] == EXTRASAMPLE_UNASSALPHA;
    }
    s->channels = alpha ? 4 : 3;
    // libtiff's raster holds alpha premultiplied, whatever the file has.
    layout->alphaChannel = alpha ? 3 : -1;
    layout->alphaPremultiplied = alpha;
    layout->wholeReason = "TIFF read through libtiff's RGBA interface";
  } else {
    s->channels = s->samples;
    for (uint16_t i = 0; i < extraCount && colour + i < s->samples; ++i) {
      if (extraTypes[i] == EXTRASAMPLE_ASSOCALPHA || extraTypes[i] == EXTRASAMPLE_UNASSALPHA) {
        layout->alphaChannel = colour + i;
        layout->alphaPremultiplied = extraTypes[i] == EXTRASAMPLE_ASSOCALPHA;
        break;
      }
    }
    s->scaleLow = s->bits < 8;
    if (s->scaleLow) {
      const unsigned top = (1u << s->bits) - 1;
      for (unsigned v = 0; v <= top; ++v) s->low[v] = static_cast<uint8_t>((v * 255 + top / 2) / top);
    }
    if (planar == PLANARCONFIG_SEPARATE && s->samples > 1) {
      s->path = Path::Planes;
      layout->wholeReason = "TIFF with separate planes";
    } else {
      s->path = TIFFIsTiled(tif) ? Path::Tiles : Path::Scanlines;
    }
  }
  layout->space = s->space;
  layout->channels = s->channels;
  layout->format = "TIFF";
  return true;
}

// Buffers the streaming paths need: a scanline, or a row of tiles.
bool PrepareStreaming(TiffState* s, std::string* error) {
  TIFF* tif = s->tif;
  const uint64_t packedRow =
      (static_cast<uint64_t>(s->width) * s->samples * s->bits + 7) / 8;
  if (s->path == Path::Scanlines) {
    uint64_t size = TIFFScanlineSize64(tif);
    if (size != packedRow) return Failure(s, "unexpected scanline size", error);
    s->rawBytes = static_cast<size_t>(size);
    s->raw = static_cast<uint8_t*>(std::malloc(s->rawBytes));
    if (s->raw == nullptr) {
      SetImageError(error, *s->source, "out of memory");
      return false;
    }
    return true;
  }
  if (s->path != Path::Tiles) return true;
  TIFFGetField(tif, TIFFTAG_TILEWIDTH, &s->tileWidth);
  TIFFGetField(tif, TIFFTAG_TILELENGTH, &s->tileHeight);
  if (s->tileWidth == 0 || s->tileHeight == 0 || (s->tileWidth * s->bits * s->samples) % 8 != 0) {
    return Failure(s, "bad tile size", error);
  }
  const uint64_t tileRow = static_cast<uint64_t>(s->tileWidth) * s->samples * s->bits / 8;
  const uint64_t across = (static_cast<uint64_t>(s->width) + s->tileWidth - 1) / s->tileWidth;
  uint64_t rowBytes = 0, bandBytes = 0, tileBytes = 0;
  if (!CheckedProduct(tileRow, across, &rowBytes) ||
      !CheckedProduct(rowBytes, s->tileHeight, &bandBytes) ||
      !CheckedProduct(tileRow, s->tileHeight, &tileBytes) || TIFFTileSize64(tif) != tileBytes) {
    return Failure(s, "bad tile size", error);
  }
  s->tileRowBytes = static_cast<size_t>(rowBytes);
  s->rawBytes = static_cast<size_t>(tileBytes);
  s->raw = AllocateImageMemory(*s->source, tileBytes, "a TIFF tile", error);
  if (s->raw == nullptr) return false;
  s->tileRows = AllocateImageMemory(*s->source, bandBytes, "a row of TIFF tiles", error);
  return s->tileRows != nullptr;
}

// --- reading ----------------------------------------------------------------------

bool LoadTileRow(TiffState* s, uint32_t top, std::string* error) {
  const size_t tileRow = s->rawBytes / s->tileHeight;
  for (uint32_t x = 0, column = 0; x < s->width; x += s->tileWidth, ++column) {
    if (TIFFReadTile(s->tif, s->raw, x, top, 0, 0) < 0 || s->message[0] != '\0') {
      return Failure(s, "cannot read a tile", error);
    }
    for (uint32_t r = 0; r < s->tileHeight; ++r) {
      std::memcpy(s->tileRows + r * s->tileRowBytes + column * tileRow, s->raw + r * tileRow, tileRow);
    }
  }
  s->tileTop = top;
  return true;
}

bool ReadRow(TiffState* s, uint8_t* out, std::string* error) {
  const size_t count = static_cast<size_t>(s->width) * s->samples;
  if (s->path == Path::Scanlines) {
    // Plain 8-bit rows go straight into the caller's row.
    const bool direct = s->bits == 8;
    uint8_t* into = direct ? out : s->raw;
    if (TIFFReadScanline(s->tif, into, s->next, 0) < 0 || s->message[0] != '\0') {
      return Failure(s, "cannot read a row", error);
    }
    if (!direct) Unpack(s->raw, count, s->bits, out, 1);
  } else {
    const uint32_t top = s->next - s->next % s->tileHeight;
    if (top != s->tileTop && !LoadTileRow(s, top, error)) return false;
    Unpack(s->tileRows + (s->next - top) * s->tileRowBytes, count, s->bits, out, 1);
  }
  FinishRow(s, out);
  return true;
}

// Separate planes: every plane, strip by strip or tile by tile, into the
// whole image.
bool LoadPlanes(TiffState* s, std::string* error) {
  const size_t ch = static_cast<size_t>(s->channels);
  const size_t rowBytes = static_cast<size_t>(s->width) * ch;
  uint64_t bytes = 0;
  CheckedProduct(rowBytes, s->height, &bytes);
  s->whole = AllocateImageMemory(*s->source, bytes, "TIFF with separate planes", error);
  if (s->whole == nullptr) return false;
  if (!TIFFIsTiled(s->tif)) {
    const uint64_t size = TIFFScanlineSize64(s->tif);
    if (size != (static_cast<uint64_t>(s->width) * s->bits + 7) / 8) return Failure(s, "unexpected scanline size", error);
    s->raw = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (s->raw == nullptr) return Failure(s, "out of memory", error);
    for (uint16_t p = 0; p < s->samples; ++p) {
      for (uint32_t y = 0; y < s->height; ++y) {
        if (Interrupted(*s->source, error)) return false;
        if (TIFFReadScanline(s->tif, s->raw, y, p) < 0 || s->message[0] != '\0') {
          return Failure(s, "cannot read a row", error);
        }
        Unpack(s->raw, s->width, s->bits, s->whole + y * rowBytes + p, ch);
      }
    }
  } else {
    uint32_t tw = 0, th = 0;
    TIFFGetField(s->tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(s->tif, TIFFTAG_TILELENGTH, &th);
    const uint64_t tileRow = static_cast<uint64_t>(tw) * s->bits / 8;
    if (tw == 0 || th == 0 || (static_cast<uint64_t>(tw) * s->bits) % 8 != 0 ||
        TIFFTileSize64(s->tif) != tileRow * th) {
      return Failure(s, "bad tile size", error);
    }
    s->raw = AllocateImageMemory(*s->source, tileRow * th, "a TIFF tile", error);
    if (s->raw == nullptr) return false;
    for (uint16_t p = 0; p < s->samples; ++p) {
      for (uint32_t y = 0; y < s->height; y += th) {
        for (uint32_t x = 0; x < s->width; x += tw) {
          if (Interrupted(*s->source, error)) return false;
          if (TIFFReadTile(s->tif, s->raw, x, y, 0, p) < 0 || s->message[0] != '\0') {
            return Failure(s, "cannot read a tile", error);
          }
          const uint32_t rows = s->height - y < th ? s->height - y : th;
          const uint32_t cols = s->width - x < tw ? s->width - x : tw;
          for (uint32_t r = 0; r < rows; ++r) {
            Unpack(s->raw + r * tileRow, cols, s->bits,
                   s->whole + (y + r) * rowBytes + static_cast<size_t>(x) * ch + p, ch);
          }
        }
      }
    }
  }
  for (uint32_t y = 0; y < s->height; ++y) FinishRow(s, s->whole + y * rowBytes);
  return true;
}

// Through libtiff's RGBA interface, a strip or a row of tiles at a time
// (libtiff's raster is bottom-up unless told otherwise, and orientation is
// applied by the caller, like every other file's), stopping at the first
// damaged strip or tile: libtiff would go on and fill it with whatever its
// buffer held.
bool LoadRgba(TiffState* s, std::string* error) {
  uint64_t bytes = 0;
  CheckedProduct(static_cast<uint64_t>(s->width) * s->height, 4, &bytes);
  const char* what = "TIFF read through libtiff's RGBA interface";
  s->whole = AllocateImageMemory(*s->source, bytes, what, error);
  if (s->whole == nullptr) return false;
  // libtiff's own buffer: one decoded strip or tile, and its raw bytes.
  const bool tiled = TIFFIsTiled(s->tif) != 0;
  uint32_t step = 0;
  uint64_t buffer = 0;
  if (tiled) {
    TIFFGetField(s->tif, TIFFTAG_TILELENGTH, &step);
    buffer = TIFFTileSize64(s->tif);
  } else {
    TIFFGetFieldDefaulted(s->tif, TIFFTAG_ROWSPERSTRIP, &step);
    buffer = TIFFStripSize64(s->tif);
  }
  if (step == 0) return Failure(s, tiled ? "bad tile size" : "bad strip size", error);
  if (step > s->height) step = s->height;
  if (!ChargeMemory(*s->source, buffer * 2, what, error)) return false;
  TIFFRGBAImage image;
  char why[1024] = {};
  if (TIFFRGBAImageBegin(&image, s->tif, 1, why) == 0) return Unsupported(s, why, error);
  image.req_orientation = ORIENTATION_TOPLEFT;
  image.orientation = ORIENTATION_TOPLEFT;
  uint32_t* raster = reinterpret_cast<uint32_t*>(s->whole);
  bool ok = true;
  for (uint32_t top = 0; ok && top < s->height; top += step) {
    if (Interrupted(*s->source, error)) {
      TIFFRGBAImageEnd(&image);
      return false;
    }
    const uint32_t rows = s->height - top < step ? s->height - top : step;
    image.row_offset = static_cast<int>(top);
    image.col_offset = 0;
    ok = TIFFRGBAImageGet(&image, raster + static_cast<size_t>(top) * s->width, s->width, rows) != 0 &&
         s->message[0] == '\0';
  }
  TIFFRGBAImageEnd(&image);
  if (!ok) return Failure(s, "cannot decode the image", error);
  // ABGR words into bytes R, G, B (and A) in place.
  const size_t pixels = static_cast<size_t>(s->width) * s->height;
  const size_t ch = static_cast<size_t>(s->channels);
  for (size_t i = 0; i < pixels; ++i) {
    uint32_t v = raster[i];
    uint8_t* out = s->whole + i * ch;
    out[0] = static_cast<uint8_t>(TIFFGetR(v));
    out[1] = static_cast<uint8_t>(TIFFGetG(v));
    out[2] = static_cast<uint8_t>(TIFFGetB(v));
    if (ch == 4) out[3] = static_cast<uint8_t>(TIFFGetA(v));
  }
  return true;
}

// The size the first directory of a classic TIFF declares, read before
// libtiff, which refuses empty images with words of its own. False when the
// directory cannot be read here (libtiff will say why).
bool PeekSize(ImageSource* source, int64_t* width, int64_t* height) {
  uint8_t head[8];
  if (!ReadSourceBytes(source, head, sizeof head)) return false;
  const bool little = head[0] == 'I';
  auto u16 = [little](const uint8_t* p) {
    return little ? static_cast<uint32_t>(p[0] | p[1] << 8) : static_cast<uint32_t>(p[0] << 8 | p[1]);
  };
  auto u32 = [little, &u16](const uint8_t* p) {
    return little ? (u16(p) | u16(p + 2) << 16) : (u16(p) << 16 | u16(p + 2));
  };
  if (u16(head + 2) != 42 || fseeko(source->file, static_cast<off_t>(u32(head + 4)), SEEK_SET) != 0) {
    return false;
  }
  uint8_t count[2];
  if (!ReadSourceBytes(source, count, 2)) return false;
  *width = *height = -1;
  for (uint32_t i = 0, n = u16(count); i < n && i < 4096; ++i) {
    uint8_t e[12];
    if (!ReadSourceBytes(source, e, sizeof e)) return false;
    const uint32_t tag = u16(e), type = u16(e + 2);
    if ((tag != TIFFTAG_IMAGEWIDTH && tag != TIFFTAG_IMAGELENGTH) || u32(e + 4) != 1) continue;
    const int64_t value = type == TIFF_SHORT ? u16(e + 8) : type == TIFF_LONG ? u32(e + 8) : -1;
    (tag == TIFFTAG_IMAGEWIDTH ? *width : *height) = value;
  }
  return *width >= 0 && *height >= 0;
}

void TiffClose(void* state) {
  TiffState* s = static_cast<TiffState*>(state);
  if (s->tif != nullptr) TIFFClose(s->tif);
  std::free(s->raw);
  std::free(s->tileRows);
  std::free(s->whole);
  delete s;
}

bool TiffOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "TIFF";
  static bool silenced = false;
  if (!silenced) {
    // Messages without a handle would go to the terminal.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    silenced = true;
  }
  int64_t width = 0, height = 0;
  if (PeekSize(source, &width, &height) && !CheckImageSize(*source, width, height, error)) return false;
  if (fseeko(source->file, 0, SEEK_SET) != 0) {
    SetImageError(error, *source, "cannot be read");
    return false;
  }
  TiffState* s = new TiffState;
  s->source = source;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) {
    SetImageError(error, *source, "out of memory");
    TiffClose(s);
    return false;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, s);
  TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, s);
  if (source->memoryLimit != 0) {
    const uint64_t most = static_cast<uint64_t>(INT64_MAX);
    TIFFOpenOptionsSetMaxSingleMemAlloc(
        options, static_cast<tmsize_t>(source->memoryLimit < most ? source->memoryLimit : most));
  }
  s->tif = TIFFClientOpenExt(source->name.c_str(), "rm", s, ReadProc, WriteProc, SeekProc,
                             CloseProc, SizeProc, MapProc, UnmapProc, options);
  TIFFOpenOptionsFree(options);
  if (s->tif == nullptr) {
    Failure(s, "cannot read the header", error);
    TiffClose(s);
    return false;
  }
  if (!Describe(s, layout, error) || !PrepareStreaming(s, error)) {
    TiffClose(s);
    return false;
  }
  *state = s;
  return true;
}

bool TiffReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  TiffState* s = static_cast<TiffState*>(state);
  if (s->path == Path::Planes || s->path == Path::Rgba) {
    if (s->whole == nullptr && !(s->path == Path::Planes ? LoadPlanes(s, error) : LoadRgba(s, error))) {
      return false;
    }
    const size_t rowBytes = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
    for (int32_t r = 0; r < count; ++r, ++s->next) {
      std::memcpy(rows[r], s->whole + s->next * rowBytes, rowBytes);
    }
    return true;
  }
  for (int32_t r = 0; r < count; ++r, ++s->next) {
    if (!ReadRow(s, rows[r], error)) return false;
  }
  return true;
}

const ImageReader reader = {"TIFF", TiffOpen, TiffReadRows, TiffClose};

}  // namespace

const ImageReader* const kTiffReader = &reader;
