// TIFF through libtiff. Files with interleaved samples are read a row at a
// time (strips, through TIFFReadScanline) or a row of tiles at a time;
// files with separate planes are gathered whole, plane by plane; encodings
// only libtiff's RGBA interface reads (subsampled YCbCr, old-style JPEG,
// LogLuv...) are decoded whole through it (TiffTags.cpp chooses). libtiff's
// messages go to the handlers of this file's handle (TiffState.h), never to
// the terminal. Going back to the top keeps the handle: libtiff goes back
// to the first strip itself, and an image gathered whole is kept.
#include <cstdlib>
#include <cstring>
#include <string>

#include <tiffio.h>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/input/SizeArithmetic.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/readers/tiff/TiffState.h"
#include "host/image/readers/tiff/TiffTags.h"

namespace {

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

// Buffers the streaming paths need: a scanline, or a row of tiles.
bool PrepareStreaming(TiffState* s, std::string* error) {
  TIFF* tif = s->tif;
  const uint64_t packedRow =
      (static_cast<uint64_t>(s->width) * s->samples * s->bits + 7) / 8;
  if (s->path == TiffPath::Scanlines) {
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
  if (s->path != TiffPath::Tiles) return true;
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
  if (s->path == TiffPath::Scanlines) {
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
  if (PeekTiffSize(source, &width, &height) && !CheckImageSize(*source, width, height, error)) return false;
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
  TIFFOpenOptionsSetErrorHandlerExtR(options, OnTiffError, s);
  TIFFOpenOptionsSetWarningHandlerExtR(options, OnTiffWarning, s);
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
  if (!DescribeTiff(s, layout, error) || !PrepareStreaming(s, error)) {
    TiffClose(s);
    return false;
  }
  *state = s;
  return true;
}

bool TiffReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  TiffState* s = static_cast<TiffState*>(state);
  if (s->path == TiffPath::Planes || s->path == TiffPath::Rgba) {
    if (s->whole == nullptr && !(s->path == TiffPath::Planes ? LoadPlanes(s, error) : LoadRgba(s, error))) {
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

bool TiffRewind(void* state, int32_t*, std::string*) {
  static_cast<TiffState*>(state)->next = 0;
  return true;
}

const ImageReader reader = {"TIFF", TiffOpen, TiffReadRows, TiffClose, nullptr, TiffRewind};

}  // namespace

const ImageReader* const kTiffReader = &reader;
