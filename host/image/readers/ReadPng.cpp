// PNG through libpng. Non-interlaced files are decoded a row at a time
// straight into the caller's rows; interlaced ones are decoded whole here.
// libpng reports errors by longjmp to the setjmp of the call in progress,
// so the functions that call it keep no C++ objects alive across the calls.
//
// Inflating whole. libpng inflates IDAT through zlib a piece at a time;
// libdeflate inflates the same stream about half again as fast, but only
// all at once. Where the compressed and the inflated image both fit the
// budgets below, and what is left of the memory budget at once (they only
// speed decoding up, so they never wait for memory), the first read collects the IDAT chunks (checking each
// CRC) and inflates them in one go (checking the Adler-32); libpng, which
// has read the header from the file as always, then reads in place of the
// file's IDAT chunks a stream of stored (uncompressed) deflate blocks that
// hold the inflated bytes, so it unfilters and transforms them exactly as
// it would the file's own, with its own CRC and Adler-32 checks turned off
// (both done already). Anything unexpected (damage, truncation, a stream
// zlib would read differently) sends the image back to plain libpng from
// the start, before a row is delivered, so it fails with libpng's message
// at libpng's row as it always did.
#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>

#include <png.h>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/input/SizeArithmetic.h"
#include "host/image/readers/Exif.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/readers/WholeInflate.h"

namespace {

// The IDAT data held at once, and the image inflated from it. Bigger
// images stream: a 20000 x 20000 PNG would need 1.2 GB.
constexpr uint64_t kWholeCompressedBudget = uint64_t{64} << 20;
constexpr uint64_t kWholeInflatedBudget = uint64_t{128} << 20;
// The most inflated bytes one stored deflate block holds.
constexpr uint64_t kStoredBlock = 65535;

std::atomic<uint64_t> inflatedWhole{0};

// The IDAT chunks libpng reads in place of the file's: chunk k holds
// stored block k (the zlib header before the first, the Adler-32 after the
// last); an IEND chunk follows.
struct StoredStream {
  uint64_t fileBytes = 0;  // where the file's first IDAT chunk starts
  uint64_t inflatedBytes = 0;
  uint64_t blocks = 0;
  const uint8_t* inflated = nullptr;  // null until loaded
  uint8_t adler[4] = {};
  uint64_t chunk = 0;      // the chunk being read (blocks: IEND)
  uint64_t offset = 0;     // bytes of it already read
};

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
  // Inflating whole: chosen at open, loaded at the first read.
  bool inflateWhole = false;
  bool loaded = false;
  uint64_t position = 0;     // bytes libpng has read
  StoredStream stored;
  uint8_t* inflated = nullptr;
  uint64_t inflatedCharge = 0;  // charged to the memory budget for `inflated`
  bool wholeRead = false;       // interlaced: `whole` holds the image
};

void PngError(png_structp png, png_const_charp message) {
  PngState* s = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(s->message, sizeof s->message, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PutBig32(uint8_t* p, uint64_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBig32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Up to `length` bytes of the stored stream at its cursor; how many.
size_t ReadStored(StoredStream* t, uint8_t* out, size_t length) {
  if (t->chunk > t->blocks) return 0;
  uint8_t head[15];
  uint8_t tail[8] = {};  // the CRC goes unchecked
  size_t headBytes = 0, tailBytes = 4;
  const uint8_t* data = nullptr;
  uint64_t dataBytes = 0;
  if (t->chunk < t->blocks) {
    const bool first = t->chunk == 0, last = t->chunk + 1 == t->blocks;
    dataBytes = last ? t->inflatedBytes - t->chunk * kStoredBlock : kStoredBlock;
    data = t->inflated != nullptr ? t->inflated + t->chunk * kStoredBlock : nullptr;
    PutBig32(head, (first ? 2 : 0) + 5 + dataBytes + (last ? 4 : 0));
    std::memcpy(head + 4, "IDAT", 4);
    headBytes = 8;
    if (first) {
      head[headBytes++] = 0x78;  // deflate, 32 KB window, no dictionary
      head[headBytes++] = 0x01;
    }
    head[headBytes++] = last ? 1 : 0;  // a stored block, the final one?
    head[headBytes++] = static_cast<uint8_t>(dataBytes);
    head[headBytes++] = static_cast<uint8_t>(dataBytes >> 8);
    head[headBytes++] = static_cast<uint8_t>(~dataBytes);
    head[headBytes++] = static_cast<uint8_t>(~dataBytes >> 8);
    if (last) {
      std::memcpy(tail, t->adler, 4);
      tailBytes = 8;
    }
  } else {
    static const uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    std::memcpy(head, iend, 12);
    headBytes = 12;
    tailBytes = 0;
  }
  const uint64_t chunkBytes = headBytes + dataBytes + tailBytes;
  size_t done = 0;
  while (done < length && t->offset < chunkBytes) {
    uint64_t at = t->offset;
    size_t n = 0;
    if (at < headBytes) {
      n = static_cast<size_t>(std::min<uint64_t>(headBytes - at, length - done));
      std::memcpy(out + done, head + at, n);
    } else if (at < headBytes + dataBytes) {
      if (data == nullptr) break;  // not inflated yet
      at -= headBytes;
      n = static_cast<size_t>(std::min<uint64_t>(dataBytes - at, length - done));
      std::memcpy(out + done, data + at, n);
    } else {
      at -= headBytes + dataBytes;
      n = static_cast<size_t>(std::min<uint64_t>(tailBytes - at, length - done));
      std::memcpy(out + done, tail + at, n);
    }
    done += n;
    t->offset += n;
  }
  if (t->offset == chunkBytes) {
    ++t->chunk;
    t->offset = 0;
  }
  return done;
}

void PngRead(png_structp png, png_bytep data, size_t length) {
  PngState* s = static_cast<PngState*>(png_get_io_ptr(png));
  size_t done = 0;
  if (!s->inflateWhole || s->position < s->stored.fileBytes) {
    size_t fromFile = length;
    if (s->inflateWhole && s->stored.fileBytes - s->position < fromFile) {
      fromFile = static_cast<size_t>(s->stored.fileBytes - s->position);
    }
    if (std::fread(data, 1, fromFile, s->source->file) != fromFile) {
      s->truncated = true;
      png_error(png, "truncated");
    }
    done = fromFile;
  }
  if (done < length) {
    // Before the IDAT data is loaded only the first chunk's header is read.
    while (done < length) {
      const size_t n = ReadStored(&s->stored, data + done, length - done);
      if (n == 0) {
        s->truncated = true;
        png_error(png, "truncated");
      }
      done += n;
    }
  }
  s->position += length;
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

// What libpng is told before it reads a byte: where it reads, the limits,
// and the chunks it is to keep.
void SetUpReading(PngState* s) {
  png_structp png = s->png;
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
  if (s->inflateWhole) {
    // The stored stream's Adler-32 is the file's, checked already; zlib
    // need not add it up again. Larger reads: the blocks are 64 KB.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_set_compression_buffer_size(png, 1 << 16);
  }
  // An animated PNG says so in acTL, which libpng here does not know:
  // kept, so that its frame count can be told.
  static const png_byte kAnimationControl[] = {'a', 'c', 'T', 'L', '\0'};
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kAnimationControl, 1);
}

// The frames an animated PNG declares in its acTL chunk.
void ReadDeclaredFrames(png_structp png, png_infop info, StoredLayout* layout) {
  png_unknown_chunkp unknown = nullptr;
  const int unknownCount = png_get_unknown_chunks(png, info, &unknown);
  for (int i = 0; i < unknownCount; ++i) {
    if (std::memcmp(unknown[i].name, "acTL", 4) == 0 && unknown[i].size >= 8) {
      const uint32_t frames = GetBig32(unknown[i].data);
      layout->declaredFrames = frames > INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames);
    }
  }
}

// A palette image's table, with the transparency of its tRNS chunk; its
// indices stay one a byte.
void ReadPalette(png_structp png, png_infop info, StoredLayout* layout) {
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
}

// Reads the header and sets up the transformations to 8 bits a sample;
// false with the error in the state.
bool ReadHeader(PngState* s, StoredLayout* layout) {
  if (setjmp(png_jmpbuf(s->png)) != 0) return false;
  png_structp png = s->png;
  png_infop info = s->info;
  SetUpReading(s);
  png_read_info(png, info);
  ReadDeclaredFrames(png, info, layout);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0, interlace = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
  layout->width = static_cast<int32_t>(width > 0x7fffffff ? 0x7fffffff : width);
  layout->height = static_cast<int32_t>(height > 0x7fffffff ? 0x7fffffff : height);
  layout->bilevel = depth == 1 && colour == PNG_COLOR_TYPE_GRAY;
  s->storedRowBytes = png_get_rowbytes(png, info);
  if (depth == 16) png_set_scale_16(png);
  if (colour == PNG_COLOR_TYPE_PALETTE) {
    ReadPalette(png, info, layout);
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

// The bytes a non-interlaced image's data inflates to, filter bytes
// included, from the IHDR fields; 0 for fields libpng refuses anyway, and
// for interlaced images, which are decoded whole already and would hold
// both.
uint64_t InflatedBytes(uint64_t width, uint64_t height, int depth, int colour, int interlace) {
  int samples = 0;
  switch (colour) {
    case 0: samples = 1; break;
    case 2: samples = 3; break;
    case 3: samples = 1; break;
    case 4: samples = 2; break;
    case 6: samples = 4; break;
    default: return 0;
  }
  if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) return 0;
  if (interlace != 0 || width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff) return 0;
  return height * (1 + (width * static_cast<uint64_t>(depth * samples) + 7) / 8);
}

// At open, before libpng reads a byte: whether to inflate whole, and where
// the file's first IDAT chunk starts. Reads the chunk headers up to it.
void ChooseInflation(PngState* s) {
  ImageSource* source = s->source;
  if (!WholeInflateAvailable()) return;
  uint8_t ihdr[33];
  if (fseeko(source->file, 0, SEEK_SET) != 0 || !ReadSourceBytes(source, ihdr, sizeof ihdr) ||
      std::memcmp(ihdr + 8, "\0\0\0\x0DIHDR", 8) != 0) {
    return;
  }
  const uint64_t inflated = InflatedBytes(GetBig32(ihdr + 16), GetBig32(ihdr + 20), ihdr[24], ihdr[25], ihdr[28]);
  if (inflated == 0 || inflated > kWholeInflatedBudget ||
      (source->memoryLimit != 0 && inflated > source->memoryLimit)) {
    return;
  }
  uint64_t at = sizeof ihdr;
  for (int chunks = 0; chunks < 1000; ++chunks) {
    uint8_t head[8];
    if (fseeko(source->file, static_cast<off_t>(at), SEEK_SET) != 0 || !ReadSourceBytes(source, head, 8)) return;
    const uint64_t length = GetBig32(head);
    if (length > 0x7fffffff) return;
    if (std::memcmp(head + 4, "IDAT", 4) == 0) {
      // The file must be able to hold it at deflate's best ratio.
      if (inflated / 1032 > source->size - at) return;
      s->inflateWhole = true;
      s->stored.fileBytes = at;
      s->stored.inflatedBytes = inflated;
      s->stored.blocks = (inflated + kStoredBlock - 1) / kStoredBlock;
      return;
    }
    at += 12 + length;
  }
}

// Reads the IDAT chunks from the file and inflates them; false, having
// taken nothing, when anything is not as it should be.
bool LoadInflated(PngState* s) {
  ImageSource* source = s->source;
  StoredStream& t = s->stored;
  uint64_t room = std::min(source->size - t.fileBytes, kWholeCompressedBudget);
  if (source->memoryLimit != 0) room = std::min(room, source->memoryLimit);
  if (!TryChargeMemory(*source, room)) return false;
  uint8_t* compressed = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(room > 0 ? room : 1)));
  if (compressed == nullptr) {
    ReleaseMemory(*source, room);
    return false;
  }
  uint64_t held = 0;
  bool ok = fseeko(source->file, static_cast<off_t>(t.fileBytes), SEEK_SET) == 0;
  for (bool first = true; ok; first = false) {
    uint8_t head[8];
    if (!ReadSourceBytes(source, head, 8)) {
      ok = !first && std::feof(source->file) != 0;  // the file may end after the last IDAT
      break;
    }
    if (std::memcmp(head + 4, "IDAT", 4) != 0) break;
    const uint64_t length = GetBig32(head);
    uint8_t crc[4];
    ok = length <= 0x7fffffff && length <= room - held &&
         ReadSourceBytes(source, compressed + held, static_cast<size_t>(length)) &&
         ReadSourceBytes(source, crc, 4) &&
         Crc32(Crc32(0, head + 4, 4), compressed + held, static_cast<size_t>(length)) == GetBig32(crc);
    held += length;
  }
  // What zlib would take as well: a 32 KB window, no dictionary, and a file
  // that can hold the image (which also bounds what is allocated below).
  ok = ok && held >= 6 && compressed[0] == 0x78 && (compressed[1] & 0x20) == 0 &&
       t.inflatedBytes / 1032 <= held;
  const bool charged = ok && TryChargeMemory(*source, t.inflatedBytes);
  uint8_t* inflated = charged ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(t.inflatedBytes))) : nullptr;
  ok = inflated != nullptr &&
       InflateWhole(compressed, static_cast<size_t>(held), inflated, static_cast<size_t>(t.inflatedBytes));
  if (ok) std::memcpy(t.adler, compressed + held - 4, 4);
  std::free(compressed);
  ReleaseMemory(*source, room);
  if (!ok) {
    std::free(inflated);
    if (charged) ReleaseMemory(*source, t.inflatedBytes);
    return false;
  }
  s->inflated = inflated;
  s->inflatedCharge = t.inflatedBytes;
  t.inflated = inflated;
  ++inflatedWhole;
  return true;
}

// A fresh libpng on the file, rewound by the caller, through the header.
bool StartLibpng(PngState* s, StoredLayout* layout) {
  if (s->png != nullptr) png_destroy_read_struct(&s->png, &s->info, nullptr);
  s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, PngError, PngWarning);
  if (s->png != nullptr) s->info = png_create_info_struct(s->png);
  if (s->png == nullptr || s->info == nullptr) {
    std::snprintf(s->message, sizeof s->message, "out of memory");
    return false;
  }
  s->position = 0;
  s->truncated = false;
  return ReadHeader(s, layout);
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

bool IgnoreIdatCrcs(PngState* s) {
  if (setjmp(png_jmpbuf(s->png)) != 0) return false;
  png_set_crc_action(s->png, PNG_CRC_QUIET_USE, PNG_CRC_NO_CHANGE);
  return true;
}

// Before the first row: the IDAT data inflated whole, or libpng alone from
// the start of the file.
bool PrepareRows(PngState* s, std::string* error) {
  if (!s->inflateWhole || s->loaded) return true;
  s->loaded = true;
  if (LoadInflated(s) && IgnoreIdatCrcs(s)) return true;
  s->inflateWhole = false;
  std::free(s->inflated);
  s->inflated = nullptr;
  s->stored.inflated = nullptr;
  ReleaseMemory(*s->source, s->inflatedCharge);
  s->inflatedCharge = 0;
  if (fseeko(s->source->file, 0, SEEK_SET) != 0) {
    SetImageError(error, *s->source, "cannot be read");
    return false;
  }
  StoredLayout again;
  if (!StartLibpng(s, &again)) {
    ReportError(s, error);
    return false;
  }
  return true;
}

void PngClose(void* state) {
  PngState* s = static_cast<PngState*>(state);
  if (s->png != nullptr) png_destroy_read_struct(&s->png, &s->info, nullptr);
  std::free(s->whole);
  std::free(s->inflated);
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
  PngState* s = new PngState;
  s->source = source;
  ChooseInflation(s);
  if (fseeko(source->file, 0, SEEK_SET) != 0) {
    SetImageError(error, *source, "cannot be read");
    PngClose(s);
    return false;
  }
  if (!StartLibpng(s, layout)) {
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
  // The memory an interlaced image needs comes before what would only
  // speed it up.
  if (s->interlaced && s->whole == nullptr) {
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
  }
  if (!PrepareRows(s, error)) return false;
  if (!s->interlaced) {
    if (!ReadRowsInto(s, rows, count)) {
      ReportError(s, error);
      return false;
    }
    return true;
  }
  if (!s->wholeRead) {
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
    s->wholeRead = true;
    // The inflated stream has been read to its end.
    std::free(s->inflated);
    s->inflated = nullptr;
    s->stored.inflated = nullptr;
    ReleaseMemory(*s->source, s->inflatedCharge);
    s->inflatedCharge = 0;
  }
  for (int32_t r = 0; r < count; ++r, ++s->next) {
    std::memcpy(rows[r], s->whole + static_cast<size_t>(s->next) * s->rowBytes, s->rowBytes);
  }
  return true;
}

const ImageReader reader = {"PNG", PngOpen, PngReadRows, PngClose};

}  // namespace

const ImageReader* const kPngReader = &reader;

uint64_t PngImagesInflatedWhole() { return inflatedWhole; }
