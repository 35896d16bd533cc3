// PNG through libpng. Non-interlaced files are decoded a row at a time
// straight into the caller's rows; interlaced ones are decoded whole here.
// libpng reports errors by longjmp to the setjmp of the call in progress,
// so the functions that call it keep no C++ objects alive across the calls.
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>

#include <png.h>

#include "host/image/Exif.h"
#include "host/image/ImageInternal.h"

namespace {

struct PngState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ImageSource* source = nullptr;
  char message[256] = {};
  bool truncated = false;
  bool interrupted = false;
  bool interlaced = false;
  size_t rowBytes = 0;        // a delivered row
  size_t storedRowBytes = 0;  // a row as the file holds it
  int32_t height = 0;
  uint8_t* whole = nullptr;  // interlaced: every row, once decoded
  int32_t next = 0;          // interlaced: the next row to hand out
};

void PngError(png_structp png, png_const_charp message) {
  PngState* s = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(s->message, sizeof s->message, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep data, size_t length) {
  PngState* s = static_cast<PngState*>(png_get_io_ptr(png));
  if (std::fread(data, 1, length, s->source->file) != length) {
    s->truncated = true;
    png_error(png, "truncated");
  }
}

// After every row libpng decodes, of every pass.
void PngRowDone(png_structp png, png_uint_32, int) {
  PngState* s = static_cast<PngState*>(png_get_io_ptr(png));
  if (CancelRequested(*s->source)) {
    s->interrupted = true;
    png_error(png, "interrupted");
  }
}

void ReportError(const PngState* s, std::string* error) {
  if (s->interrupted) {
    SetImageError(error, *s->source, "interrupted");
  } else if (s->truncated) {
    SetImageError(error, *s->source, TruncatedMessage("PNG"));
  } else if (std::strcmp(s->message, "Not enough image data") == 0) {
    SetImageError(error, *s->source, "truncated PNG image data: the IDAT chunks end before the image does");
  } else {
    SetImageError(error, *s->source, std::string("corrupt PNG data: ") + s->message);
  }
}

// Reads the header and sets up the transformations to 8 bits a sample;
// false with the error in the state.
bool ReadHeader(PngState* s, StoredLayout* layout) {
  if (setjmp(png_jmpbuf(s->png)) != 0) return false;
  png_structp png = s->png;
  png_infop info = s->info;
  png_set_read_fn(png, s, PngRead);
  png_set_read_status_fn(png, PngRowDone);
  // Ancillary chunks (profiles, text) within the budget as well.
  // (0 is libpng's "no limit".)
  const uint64_t left = MemoryLeft(*s->source);
  const png_alloc_size_t chunkMost = png_get_chunk_malloc_max(png);
  if (left != UINT64_MAX && (chunkMost == 0 || left < chunkMost)) {
    png_set_chunk_malloc_max(png, static_cast<png_alloc_size_t>(left > 0 ? left : 1));
  }
  // Sizes are ours to judge, with a clearer message.
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_read_info(png, info);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0, interlace = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
  layout->width = static_cast<int32_t>(width > 0x7fffffff ? 0x7fffffff : width);
  layout->height = static_cast<int32_t>(height > 0x7fffffff ? 0x7fffffff : height);
  layout->bilevel = depth == 1 && colour == PNG_COLOR_TYPE_GRAY;
  s->storedRowBytes = png_get_rowbytes(png, info);
  if (depth == 16) png_set_scale_16(png);
  if (colour == PNG_COLOR_TYPE_PALETTE) {
    png_set_packing(png);
    png_colorp entries = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &entries, &count) != 0 && entries != nullptr) {
      for (int i = 0; i < count && i < 256; ++i) {
        layout->palette[i][0] = entries[i].red;
        layout->palette[i][1] = entries[i].green;
        layout->palette[i][2] = entries[i].blue;
      }
      layout->paletteCount = count;
    }
    for (int i = 0; i < 256; ++i) layout->palette[i][3] = 255;
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (png_get_tRNS(png, info, &alpha, &alphaCount, nullptr) != 0 && alpha != nullptr) {
      for (int i = 0; i < alphaCount && i < 256; ++i) layout->palette[i][3] = alpha[i];
    }
    layout->space = StoredSpace::Indexed;
  } else {
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png);
    layout->space = (colour & PNG_COLOR_MASK_COLOR) != 0 ? StoredSpace::RGB : StoredSpace::Gray;
  }
  s->interlaced = interlace != PNG_INTERLACE_NONE;
  if (s->interlaced) {
    png_set_interlace_handling(png);
    layout->wholeReason = "interlaced PNG";
  }
  png_read_update_info(png, info);
  layout->channels = png_get_channels(png, info);
  s->rowBytes = png_get_rowbytes(png, info);
  if (layout->space != StoredSpace::Indexed &&
      (layout->channels == 2 || layout->channels == 4)) {
    layout->alphaChannel = layout->channels - 1;
  }
  png_uint_32 exifSize = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &exifSize, &exif) != 0 && exif != nullptr) {
    layout->orientation = ExifOrientation(exif, exifSize);
  }
  return true;
}

bool ReadRowsInto(PngState* s, uint8_t* const* rows, int32_t count) {
  if (setjmp(png_jmpbuf(s->png)) != 0) return false;
  for (int32_t r = 0; r < count; ++r) png_read_row(s->png, rows[r], nullptr);
  return true;
}

bool ReadWhole(PngState* s, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s->png)) != 0) return false;
  png_read_image(s->png, rows);
  return true;
}

void PngClose(void* state) {
  PngState* s = static_cast<PngState*>(state);
  if (s->png != nullptr) png_destroy_read_struct(&s->png, &s->info, nullptr);
  std::free(s->whole);
  delete s;
}

bool PngOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "PNG";
  // Sizes first, from IHDR itself, so that an empty or oversized image gets
  // the same words as in every other format rather than libpng's.
  uint8_t head[24];
  if (ReadSourceBytes(source, head, sizeof head) && std::memcmp(head + 12, "IHDR", 4) == 0) {
    const int64_t width = int64_t{head[16]} << 24 | head[17] << 16 | head[18] << 8 | head[19];
    const int64_t height = int64_t{head[20]} << 24 | head[21] << 16 | head[22] << 8 | head[23];
    if (!CheckImageSize(*source, width, height, error)) return false;
  }
  if (fseeko(source->file, 0, SEEK_SET) != 0) {
    SetImageError(error, *source, "cannot be read");
    return false;
  }
  PngState* s = new PngState;
  s->source = source;
  s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, PngError, PngWarning);
  if (s->png != nullptr) s->info = png_create_info_struct(s->png);
  if (s->png == nullptr || s->info == nullptr) {
    SetImageError(error, *source, "out of memory");
    PngClose(s);
    return false;
  }
  if (!ReadHeader(s, layout)) {
    ReportError(s, error);
    PngClose(s);
    return false;
  }
  if (!CheckImageSize(*source, layout->width, layout->height, error)) {
    PngClose(s);
    return false;
  }
  if (s->rowBytes != static_cast<size_t>(layout->width) * static_cast<size_t>(layout->channels)) {
    SetImageError(error, *source, "unsupported PNG layout");
    PngClose(s);
    return false;
  }
  s->height = layout->height;
  *state = s;
  return true;
}

bool PngReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  PngState* s = static_cast<PngState*>(state);
  if (!s->interlaced) {
    if (!ReadRowsInto(s, rows, count)) {
      ReportError(s, error);
      return false;
    }
    return true;
  }
  if (s->whole == nullptr) {
    uint64_t bytes = 0;
    if (!CheckedProduct(s->rowBytes, static_cast<uint64_t>(s->height), &bytes)) bytes = UINT64_MAX;
    // Deflate packs at most 1032 bytes into one: the file must hold the
    // rows as stored (before expansion to 8 bits) at that ratio, with room
    // for the filter bytes and the interlacing passes.
    uint64_t stored = 0;
    if (!CheckedProduct(s->storedRowBytes, static_cast<uint64_t>(s->height), &stored) ||
        !CheckDeclaredSize(*s->source, stored, 1100, "PNG", error)) {
      if (error->empty()) SetImageError(error, *s->source, "too large");
      return false;
    }
    s->whole = AllocateImageMemory(*s->source, bytes, "interlaced PNG", error);
    if (s->whole == nullptr) return false;
    png_bytepp pointers = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * static_cast<size_t>(s->height)));
    if (pointers == nullptr) {
      SetImageError(error, *s->source, "out of memory");
      return false;
    }
    for (int32_t r = 0; r < s->height; ++r) pointers[r] = s->whole + static_cast<size_t>(r) * s->rowBytes;
    bool ok = ReadWhole(s, pointers);
    std::free(pointers);
    if (!ok) {
      ReportError(s, error);
      return false;
    }
  }
  for (int32_t r = 0; r < count; ++r, ++s->next) {
    std::memcpy(rows[r], s->whole + static_cast<size_t>(s->next) * s->rowBytes, s->rowBytes);
  }
  return true;
}

const ImageReader reader = {"PNG", PngOpen, PngReadRows, PngClose};

}  // namespace

const ImageReader* const kPngReader = &reader;
