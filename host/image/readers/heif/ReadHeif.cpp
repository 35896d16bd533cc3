// HEIF/HEIC and AVIF through libheif, decoded whole: the primary image is
// decoded at the first request and kept in libheif's own image, from which
// rows are served, again from the top when asked, without reading the
// boxes or decoding again. libheif applies the file's transformations (rotation,
// mirroring, clean aperture) itself, and those carry a HEIF file's
// orientation: its EXIF block is not consulted, or a turned photo would be
// turned twice.
//
// libheif reads through our reader, a piece at a time: the tiles of a grid
// image (as cameras write them) are read as they are decoded. libheif 1.15
// has no way to stop a decode, and it asserts that every read succeeds
// (a failed one aborts the process): once the cancel flag is set, reads
// hand it zeros instead, on which each further tile's decode fails at once,
// and the result is thrown away. An image of a single tile is looked at
// before and after its decode only.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/readers/LibraryOutput.h"
#include "host/image/readers/SharedLibrary.h"
#include "host/image/readers/heif/HeifDecodeCost.h"
#include "host/image/readers/heif/HeifItems.h"

namespace {

// libheif, loaded when the first HEIF or AVIF file is opened (SharedLibrary.h
// says why).
#define HEIF_FUNCTIONS(X) \
  X(heif_context_alloc) \
  X(heif_context_free) \
  X(heif_context_get_primary_image_handle) \
  X(heif_context_read_from_reader) \
  X(heif_context_set_max_decoding_threads) \
  X(heif_context_set_maximum_image_size_limit) \
  X(heif_decode_image) \
  X(heif_decoding_options_alloc) \
  X(heif_decoding_options_free) \
  X(heif_have_decoder_for_format) \
  X(heif_image_get_bits_per_pixel) \
  X(heif_image_get_bits_per_pixel_range) \
  X(heif_image_get_height) \
  X(heif_image_get_plane_readonly) \
  X(heif_image_get_width) \
  X(heif_image_handle_get_height) \
  X(heif_image_handle_get_luma_bits_per_pixel) \
  X(heif_image_handle_get_width) \
  X(heif_image_handle_has_alpha_channel) \
  X(heif_image_handle_is_premultiplied_alpha) \
  X(heif_image_handle_release) \
  X(heif_image_release) \
  X(heif_init)
struct HeifFunctions {
  HEIF_FUNCTIONS(GW_FUNCTION_SLOT)
};
const HeifFunctions* gHeif = nullptr;

// False with the users' message (after the file's name) when libheif cannot
// be had.
bool LoadHeif(std::string* error) {
  static std::once_flag once;
  static HeifFunctions table;
  static std::string failure;
  std::call_once(once, [] {
    static const char* const kNames[] = {HEIF_FUNCTIONS(GW_FUNCTION_NAME) nullptr};
    std::vector<void*> addresses;
    const std::string soname = "libheif.so." + std::to_string(LIBHEIF_NUMERIC_VERSION >> 24);
    bool absent = false;
    if (!OpenSharedLibrary(soname, kNames, &addresses, &failure, &absent)) {
      failure = absent ? "a HEIF or AVIF file, which needs the package " GW_HEIF_PACKAGE
                         ", not installed here (apt install " GW_HEIF_PACKAGE ")"
                       : "a HEIF or AVIF file, and this machine's libheif cannot be used: " + failure;
      return;
    }
    size_t next = 0;
    HEIF_FUNCTIONS(GW_FUNCTION_TAKE)
    // The codecs are built into Debian's libheif; any plug-ins are loaded here.
    if (table.heif_init(nullptr).code != heif_error_Ok) {
      failure = "a HEIF or AVIF file, and this machine's libheif does not start";
      return;
    }
    gHeif = &table;
  });
  if (gHeif == nullptr) *error = failure;
  return gHeif != nullptr;
}

// What the file's boxes say before libheif parses them: its brands, and the
// codec configurations of its images (the codec and whether every image,
// alpha and thumbnails included, is monochrome).
struct BoxScan {
  std::vector<std::string> brands;  // the major brand first
  bool hevc = false;                // an hvcC configuration
  bool av1 = false;                 // an av1C configuration
  bool allMonochrome = true;        // meaningful when either is set
  bool cut = false;                 // a box runs past the end of the file
  int metaBoxes = 0;                // at the top level
  std::vector<uint8_t> meta;        // the payload of the only one
};

// Property boxes are small: a meta box larger than this (an idat of coded
// data) is refused rather than read to learn what its images need.
constexpr uint64_t kLargestMeta = uint64_t{64} << 20;

struct HeifState {
  ImageSource* source = nullptr;
  const char* format = "HEIF";
  heif_compression_format codec = heif_compression_undefined;
  heif_context* context = nullptr;
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  // Every image of the file is monochrome: delivered as grey. libheif is
  // still asked for RGB, the one output every codec gives (its HEVC decoder
  // has no monochrome output), and its first channel taken.
  bool gray = false;
  bool alpha = false;
  int bits = 8;               // bits per sample, as the codec configuration says
  bool interrupted = false;   // reads gave zeros because of the cancel flag
  bool unreadable = false;    // a read failed (and gave zeros)
  bool cut = false;           // BoxScan::cut
  HeifDecodeCost cost;        // what the decode will take, as the file's coded data says
  // The decoded image: interleaved RGB or RGBA.
  const uint8_t* plane = nullptr;
  int stride = 0;
  int perPixel = 3;           // samples a pixel in the plane
  int sampleBytes = 1;        // 1, or 2 for samples of more than 8 bits
  uint32_t most = 255;        // the largest sample value
  int32_t next = 0;
};

// ---- the boxes, before libheif -------------------------------------------------

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// The box at `at` of `data` (`end` bytes): its type and where its payload
// lies; false when it does not fit.
bool NextBox(const uint8_t* data, size_t end, size_t at, char type[5], size_t* payload,
             size_t* next) {
  if (end < 8 || at > end - 8) return false;
  uint64_t size = Be32(data + at);
  size_t header = 8;
  if (size == 1) {
    if (at > end - 16) return false;
    size = uint64_t{Be32(data + at + 8)} << 32 | Be32(data + at + 12);
    header = 16;
  } else if (size == 0) {
    size = end - at;
  }
  if (size < header || size > end - at) return false;
  std::memcpy(type, data + at + 4, 4);
  type[4] = '\0';
  *payload = at + header;
  *next = at + static_cast<size_t>(size);
  return true;
}

// The codec configurations among the item properties (meta > iprp > ipco).
void ScanMeta(const uint8_t* meta, size_t size, BoxScan* scan) {
  char type[5];
  size_t payload = 0, next = 0;
  // meta is a full box: version and flags first.
  for (size_t at = 4; NextBox(meta, size, at, type, &payload, &next); at = next) {
    if (std::strcmp(type, "iprp") != 0) continue;
    size_t p2 = 0, n2 = 0;
    for (size_t at2 = payload; at2 < next && NextBox(meta, next, at2, type, &p2, &n2); at2 = n2) {
      if (std::strcmp(type, "ipco") != 0) continue;
      size_t p3 = 0, n3 = 0;
      for (size_t at3 = p2; at3 < n2 && NextBox(meta, n2, at3, type, &p3, &n3); at3 = n3) {
        const uint8_t* body = meta + p3;
        if (std::strcmp(type, "hvcC") == 0 && n3 - p3 >= 17) {
          scan->hevc = true;
          if ((body[16] & 3) != 0) scan->allMonochrome = false;  // chroma_format_idc
        } else if (std::strcmp(type, "av1C") == 0 && n3 - p3 >= 3) {
          scan->av1 = true;
          if ((body[2] & 0x10) == 0) scan->allMonochrome = false;  // mono_chrome
        }
      }
    }
  }
}

// Reads every top-level box, as libheif does, and the meta box; false only
// when the file cannot be read at all.
bool ScanBoxes(ImageSource* source, BoxScan* scan) {
  uint64_t at = 0, metaAt = 0, metaSize = 0;
  while (source->size >= 8 && at <= source->size - 8) {
    uint8_t head[16];
    if (fseeko(source->file, static_cast<off_t>(at), SEEK_SET) != 0 ||
        !ReadSourceBytes(source, head, 8)) {
      return false;
    }
    uint64_t size = Be32(head);
    uint64_t header = 8;
    if (size == 1) {
      if (!ReadSourceBytes(source, head + 8, 8)) break;
      size = uint64_t{Be32(head + 8)} << 32 | Be32(head + 12);
      header = 16;
    } else if (size == 0) {
      size = source->size - at;
    }
    if (size < header || size > source->size - at) {
      scan->cut = size >= header;
      break;
    }
    const uint64_t payload = size - header;
    if (std::memcmp(head + 4, "ftyp", 4) == 0 && payload >= 8 && scan->brands.empty()) {
      std::vector<uint8_t> body(static_cast<size_t>(payload < 4096 ? payload : 4096));
      if (!ReadSourceBytes(source, body.data(), body.size())) break;
      scan->brands.emplace_back(reinterpret_cast<const char*>(body.data()), 4);
      for (size_t b = 8; b + 4 <= body.size(); b += 4) {
        scan->brands.emplace_back(reinterpret_cast<const char*>(body.data() + b), 4);
      }
    } else if (std::memcmp(head + 4, "meta", 4) == 0) {
      ++scan->metaBoxes;
      metaAt = at + header;
      metaSize = payload;
    }
    at += size;
  }
  if (scan->metaBoxes == 1 && metaSize <= kLargestMeta) {
    scan->meta.resize(static_cast<size_t>(metaSize));
    if (fseeko(source->file, static_cast<off_t>(metaAt), SEEK_SET) != 0 ||
        !ReadSourceBytes(source, scan->meta.data(), scan->meta.size())) {
      return false;
    }
    ScanMeta(scan->meta.data(), scan->meta.size(), scan);
  }
  return true;
}

// Learns what decoding the primary image takes from the file's items and
// their coded data, before libheif decodes anything: the header's sizes
// (ispe) can say anything, the codec headers are what the decoders
// allocate by. False with the users' message for a file whose images
// cannot be decoded as it describes them.
bool LearnDecodeCost(HeifState* s, const BoxScan& scan, std::string* error) {
  const std::string corrupt = std::string("corrupt ") + s->format + " data: ";
  if (scan.metaBoxes != 1) {
    SetImageError(error, *s->source,
                  corrupt + "it has " + std::to_string(scan.metaBoxes) + " meta boxes");
    return false;
  }
  if (scan.meta.empty()) {
    SetImageError(error, *s->source,
                  std::string("unsupported ") + s->format +
                      " file: its meta box is larger than " + DescribeBytes(kLargestMeta));
    return false;
  }
  HeifItems items;
  std::string why;
  ImageSource* source = s->source;
  const off_t position = ftello(source->file);
  // An item's extents may name one part of the file many times over: what
  // is read of an item stays within the file's size, which is what the
  // budget is charged below.
  bool repeats = false;
  auto bytes = [source, &repeats](uint64_t offset, uint64_t length, std::vector<uint8_t>* out) {
    if (offset > source->size || length > source->size - offset) return false;
    const size_t had = out->size();
    if (length > source->size - std::min<uint64_t>(had, source->size)) {
      repeats = true;
      return false;
    }
    out->resize(had + static_cast<size_t>(length));
    return fseeko(source->file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           ReadSourceBytes(source, out->data() + had, static_cast<size_t>(length));
  };
  // An item's data is read whole to be scanned, one item at a time.
  if (!ChargeMemory(*source, source->size, s->format, error)) return false;
  const bool ok = ReadHeifItems(scan.meta.data(), scan.meta.size(), &items, &why) &&
                  EstimateHeifDecode(items, scan.meta.data(), bytes, &s->cost, &why);
  ReleaseMemory(*source, source->size);
  // libheif keeps its own idea of where its reads are.
  if (fseeko(source->file, position, SEEK_SET) != 0) {
    SetImageError(error, *source, "cannot be read");
    return false;
  }
  if (!ok) {
    const std::string unsupported = std::string("unsupported ") + s->format + " file: ";
    if (repeats) why = "an image's data is larger than the file: its parts repeat";
    SetImageError(error, *source, (s->cost.unsupported ? unsupported : corrupt) + why);
  }
  return ok;
}

bool HasBrand(const BoxScan& scan, const char* const* list) {
  for (const std::string& brand : scan.brands) {
    for (const char* const* b = list; *b != nullptr; ++b) {
      if (brand == *b) return true;
    }
  }
  return false;
}

const char* const kAvifBrands[] = {"avif", "avis", nullptr};
const char* const kHeicBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs",
                                   nullptr};

const char* CodecName(heif_compression_format codec) {
  return codec == heif_compression_HEVC ? "HEVC (H.265)" : "AV1";
}

// ---- libheif's reads --------------------------------------------------------------

int64_t HeifPosition(void* user) {
  return static_cast<int64_t>(ftello(static_cast<HeifState*>(user)->source->file));
}

int HeifRead(void* data, size_t size, void* user) {
  HeifState* s = static_cast<HeifState*>(user);
  if (CancelRequested(*s->source)) {
    s->interrupted = true;
    std::memset(data, 0, size);
    return 0;
  }
  const size_t got = std::fread(data, 1, size, s->source->file);
  if (got < size) {
    s->unreadable = true;
    std::memset(static_cast<uint8_t*>(data) + got, 0, size - got);
  }
  return 0;
}

int HeifSeek(int64_t position, void* user) {
  HeifState* s = static_cast<HeifState*>(user);
  return position >= 0 && fseeko(s->source->file, static_cast<off_t>(position), SEEK_SET) == 0 ? 0 : 1;
}

heif_reader_grow_status HeifGrow(int64_t target, void* user) {
  const HeifState* s = static_cast<const HeifState*>(user);
  return target >= 0 && static_cast<uint64_t>(target) <= s->source->size
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

// libheif keeps a pointer to it for the life of the context.
const heif_reader kReader = {1, HeifPosition, HeifRead, HeifSeek, HeifGrow};

// The users' message for a libheif error.
bool HeifFailed(HeifState* s, const heif_error& e, std::string* error) {
  const std::string format = s->format;
  const std::string article = format[0] == 'A' ? "an " : "a ";
  // One line, and libheif's "Category: Sub-category: detail" without the
  // category, which is said our way, or an "Unspecified" sub-category:
  // "Invalid input: No 'meta' box" is "No 'meta' box", "Unsupported
  // file-type: Unspecified: File does not ..." is "File does not ...".
  std::string what;
  for (const char* c = e.message != nullptr ? e.message : ""; *c != '\0'; ++c) {
    what += *c == '\n' || *c == '\r' || *c == '\t' ? ' ' : *c;
  }
  while (!what.empty() && what.back() == ' ') what.pop_back();
  const size_t colon = what.find(": ");
  if (colon != std::string::npos) what.erase(0, colon + 2);
  if (what.rfind("Unspecified: ", 0) == 0) what.erase(0, 13);
  if (what == "Unspecified") what.clear();
  const std::string detail = what.empty() ? std::string() : ": " + what;
  if (s->interrupted || CancelRequested(*s->source)) {
    SetImageError(error, *s->source, "interrupted");
  } else if (s->unreadable) {
    SetImageError(error, *s->source, "cannot be read (it changed while being read)");
  } else if (e.subcode == heif_suberror_End_of_data || (s->cut && e.code == heif_error_Invalid_input)) {
    SetImageError(error, *s->source, TruncatedMessage(s->format));
  } else if (e.subcode == heif_suberror_Security_limit_exceeded) {
    // "... Image size 40000x16 exceeds the maximum image size 32767x32767"
    unsigned width = 0, height = 0;
    const size_t size = what.find("Image size ");
    if (size != std::string::npos &&
        std::sscanf(what.c_str() + size, "Image size %ux%u", &width, &height) == 2 &&
        !CheckImageSize(*s->source, width, height, error)) {
      return false;
    }
    SetImageError(error, *s->source, article + format + " file beyond libheif's limits" + detail);
  } else if (e.subcode == heif_suberror_Unsupported_codec) {
    SetImageError(error, *s->source,
                  article + format + " image in a coding this build's libheif cannot decode" +
                      detail);
  } else if (e.code == heif_error_Decoder_plugin_error) {
    const std::string codec = s->codec != heif_compression_undefined ? CodecName(s->codec) : "image";
    SetImageError(error, *s->source, "corrupt " + format + " data: the " + codec + " decoder failed on it");
  } else if (e.code == heif_error_Unsupported_feature || e.code == heif_error_Unsupported_filetype) {
    SetImageError(error, *s->source, "unsupported " + format + " file" + detail);
  } else if (e.code == heif_error_Memory_allocation_error) {
    SetImageError(error, *s->source, OutOfMemoryMessage(0, s->format));
  } else {
    SetImageError(error, *s->source, "corrupt " + format + " data" + detail);
  }
  return false;
}

void HeifClose(void* state) {
  HeifState* s = static_cast<HeifState*>(state);
  if (s->image != nullptr) gHeif->heif_image_release(s->image);
  if (s->handle != nullptr) gHeif->heif_image_handle_release(s->handle);
  if (s->context != nullptr) gHeif->heif_context_free(s->context);
  delete s;
}

// Names the file after its codec or brands; refuses a codec libheif
// cannot decode.
bool Recognise(HeifState* s, const BoxScan& scan, std::string* error) {
  const bool avif = HasBrand(scan, kAvifBrands), heic = HasBrand(scan, kHeicBrands);
  if (scan.hevc != scan.av1) {
    s->codec = scan.hevc ? heif_compression_HEVC : heif_compression_AV1;
    s->format = scan.hevc ? "HEIC" : "AVIF";
  } else {
    s->format = avif && !heic ? "AVIF" : heic && !avif ? "HEIC" : "HEIF";
  }
  if (s->codec != heif_compression_undefined && gHeif->heif_have_decoder_for_format(s->codec) == 0) {
    const std::string codec = CodecName(s->codec);
    SetImageError(error, *s->source,
                  std::string(s->format[0] == 'A' ? "an " : "a ") + s->format + " image coded with " +
                      codec + ", which this build's libheif cannot decode: it has no " + codec +
                      " decoder (on Debian, " +
                      (s->codec == heif_compression_HEVC ? "libde265-0" : "libdav1d6 or libaom3") +
                      " provides one)");
    return false;
  }
  return true;
}

bool HeifOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  const QuietLibraryOutput quiet;
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "HEIF";
  std::string why;
  if (!LoadHeif(&why)) {
    SetImageError(error, *source, why);
    return false;
  }
  HeifState* s = new HeifState;
  s->source = source;
  auto fail = [&]() {
    HeifClose(s);
    return false;
  };
  BoxScan scan;
  if (!ScanBoxes(source, &scan) || fseeko(source->file, 0, SEEK_SET) != 0) {
    SetImageError(error, *source, "cannot be read");
    return fail();
  }
  if (!Recognise(s, scan, error)) return fail();
  s->cut = scan.cut;
  layout->format = s->format;
  s->context = gHeif->heif_context_alloc();
  if (s->context == nullptr) {
    SetImageError(error, *source, OutOfMemoryMessage(0, s->format));
    return fail();
  }
  // libheif's own refusal of sizes the plug-in interface cannot carry comes
  // before it takes memory for them; its message is turned into ours.
  gHeif->heif_context_set_maximum_image_size_limit(s->context, static_cast<int>(kMaxImageSide));
  // Tiles decoded on this thread, so that libheif's reads come one at a time.
  gHeif->heif_context_set_max_decoding_threads(s->context, 0);
  // libheif reads every item's data as it reads the file, and holds it
  // until the reader closes.
  if (!ChargeMemory(*source, source->size, s->format, error)) return fail();
  heif_error e = gHeif->heif_context_read_from_reader(s->context, &kReader, s, nullptr);
  if (e.code != heif_error_Ok || s->interrupted || s->unreadable) {
    HeifFailed(s, e, error);
    return fail();
  }
  e = gHeif->heif_context_get_primary_image_handle(s->context, &s->handle);
  if (e.code != heif_error_Ok) {
    HeifFailed(s, e, error);
    return fail();
  }
  s->width = gHeif->heif_image_handle_get_width(s->handle);
  s->height = gHeif->heif_image_handle_get_height(s->handle);
  layout->width = s->width;
  layout->height = s->height;
  if (!CheckImageSize(*source, s->width, s->height, error)) return fail();
  // Before libheif is asked anything that follows the images' references
  // (it would recurse through a loop of them until the stack runs out).
  if (!LearnDecodeCost(s, scan, error)) return fail();
  s->alpha = gHeif->heif_image_handle_has_alpha_channel(s->handle) != 0;
  s->gray = (scan.hevc || scan.av1) && scan.allMonochrome;
  const int bits = gHeif->heif_image_handle_get_luma_bits_per_pixel(s->handle);
  s->bits = bits > 8 ? bits : 8;
  s->channels = (s->gray ? 1 : 3) + (s->alpha ? 1 : 0);
  layout->channels = s->channels;
  layout->space = s->gray ? StoredSpace::Gray : StoredSpace::RGB;
  layout->alphaChannel = s->alpha ? s->channels - 1 : -1;
  layout->alphaPremultiplied = s->alpha && gHeif->heif_image_handle_is_premultiplied_alpha(s->handle) != 0;
  layout->wholeReason = s->format;
  *state = s;
  return true;
}

// The decoded image's plane and its sample size; false when the image
// lacks it or does not have the size the file declared.
bool GetPlane(HeifState* s) {
  s->plane = gHeif->heif_image_get_plane_readonly(s->image, heif_channel_interleaved, &s->stride);
  const int storage = gHeif->heif_image_get_bits_per_pixel(s->image, heif_channel_interleaved);
  const int range = gHeif->heif_image_get_bits_per_pixel_range(s->image, heif_channel_interleaved);
  if (s->plane == nullptr || gHeif->heif_image_get_width(s->image, heif_channel_interleaved) != s->width ||
      gHeif->heif_image_get_height(s->image, heif_channel_interleaved) != s->height || range < 1 ||
      range > 16 || (storage != 8 * s->perPixel && storage != 16 * s->perPixel)) {
    return false;
  }
  s->sampleBytes = storage / (8 * s->perPixel);
  s->most = (uint32_t{1} << range) - 1;
  return s->stride >= s->width * s->perPixel * s->sampleBytes;
}

bool Decode(HeifState* s, std::string* error) {
  const QuietLibraryOutput quiet;
  if (Interrupted(*s->source, error)) return false;
  // The image as delivered is held until the reader closes; the rest of the
  // decode's peak (the decoders' pictures, libheif's planar images) only
  // while decoding. The file's data libheif holds was charged at open.
  s->perPixel = s->alpha ? 4 : 3;
  uint64_t held = 0;
  const uint64_t peak = HeifDecodePeak(s->cost, s->bits > 8 ? 2 : 1, s->perPixel, &held);
  const uint64_t decoding = peak > held ? peak - held : 0;
  if (!ChargeMemory(*s->source, held + decoding, s->format, error)) return false;
  heif_decoding_options* options = gHeif->heif_decoding_options_alloc();
  if (options == nullptr) {
    SetImageError(error, *s->source, OutOfMemoryMessage(0, s->format));
    return false;
  }
  const heif_chroma chroma =
      s->bits > 8 ? (s->alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                  : (s->alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  heif_error e = gHeif->heif_decode_image(s->handle, &s->image, heif_colorspace_RGB, chroma, options);
  gHeif->heif_decoding_options_free(options);
  ReleaseMemory(*s->source, decoding);
  if (e.code != heif_error_Ok || s->interrupted || s->unreadable) return HeifFailed(s, e, error);
  if (Interrupted(*s->source, error)) return false;
  if (!GetPlane(s)) {
    SetImageError(error, *s->source, std::string("corrupt ") + s->format +
                                         " data: the decoded image does not match its header");
    return false;
  }
  return true;
}

// Samples of more than 8 bits to 8, rounded: v * 255 / most.
inline uint8_t Scale(uint32_t v, uint32_t most) {
  return v >= most ? uint8_t{255} : static_cast<uint8_t>((v * 255 + most / 2) / most);
}

// Sample `i` of a plane row, scaled to 8 bits.
inline uint8_t Sample(const HeifState* s, const uint8_t* in, size_t i) {
  if (s->sampleBytes == 1) return s->most == 255 ? in[i] : Scale(in[i], s->most);
  // The layouts asked for are little-endian, as is every host this builds for.
  uint16_t v;
  std::memcpy(&v, in + 2 * i, 2);
  return Scale(v, s->most);
}

bool HeifReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  HeifState* s = static_cast<HeifState*>(state);
  if (s->image == nullptr && !Decode(s, error)) return false;
  const size_t width = static_cast<size_t>(s->width);
  const size_t channels = static_cast<size_t>(s->channels);
  for (int32_t r = 0; r < count && s->next < s->height; ++r, ++s->next) {
    const uint8_t* in = s->plane + static_cast<size_t>(s->next) * static_cast<size_t>(s->stride);
    uint8_t* out = rows[r];
    if (!s->gray && s->sampleBytes == 1 && s->most == 255) {
      std::memcpy(out, in, width * channels);
    } else if (!s->gray) {
      for (size_t i = 0; i < width * channels; ++i) out[i] = Sample(s, in, i);
    } else {
      const size_t from = static_cast<size_t>(s->perPixel);
      for (size_t x = 0; x < width; ++x) {
        out[x * channels] = Sample(s, in, x * from);
        if (s->alpha) out[x * channels + 1] = Sample(s, in, x * from + 3);
      }
    }
  }
  return true;
}

bool HeifRewind(void* state, int32_t*, std::string*) {
  static_cast<HeifState*>(state)->next = 0;
  return true;
}

const ImageReader reader = {"HEIF", HeifOpen, HeifReadRows, HeifClose, nullptr, HeifRewind};

}  // namespace

const ImageReader* const kHeifReader = &reader;
