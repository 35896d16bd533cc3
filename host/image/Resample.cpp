#include "host/image/Resample.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libavutil/version.h>
#include <libswscale/swscale.h>
#include <libswscale/version.h>
}

#include "host/image/SharedLibrary.h"

namespace {

// libswscale and its libavutil are loaded when an image is first resized
// (SharedLibrary.h says why).
#define SWSCALE_FUNCTIONS(X) X(sws_getContext) X(sws_scale) X(sws_freeContext)
#define AVUTIL_FUNCTIONS(X) X(av_log_set_level)
struct Library {
  SWSCALE_FUNCTIONS(GW_FUNCTION_SLOT)
  AVUTIL_FUNCTIONS(GW_FUNCTION_SLOT)
};

#define GW_TEXT(x) #x
#define GW_SONAME(name, major) "lib" name ".so." GW_TEXT(major)

const Library* LoadSwscale(std::string* error) {
  static std::once_flag once;
  static Library table;
  static bool loaded = false;
  static std::string failure;
  std::call_once(once, [] {
    static const char* const kAvutil[] = {AVUTIL_FUNCTIONS(GW_FUNCTION_NAME) nullptr};
    static const char* const kSwscale[] = {SWSCALE_FUNCTIONS(GW_FUNCTION_NAME) nullptr};
    std::vector<void*> addresses;
    std::string why;
    if (!OpenSharedLibrary(GW_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), kAvutil, &addresses, &why)) {
      failure = "resizing needs libswscale: " + why;
      return;
    }
    size_t next = 0;
    AVUTIL_FUNCTIONS(GW_FUNCTION_TAKE)
    if (!OpenSharedLibrary(GW_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR), kSwscale, &addresses, &why)) {
      failure = "resizing needs libswscale: " + why;
      return;
    }
    next = 0;
    SWSCALE_FUNCTIONS(GW_FUNCTION_TAKE)
    // The library would fill the terminal with its notes on alignment; what
    // goes wrong is reported here, in the users' words.
    table.av_log_set_level(AV_LOG_QUIET);
    loaded = true;
  });
  if (!loaded) {
    *error = failure;
    return nullptr;
  }
  return &table;
}

// libswscale's filters for factors much beyond this need a cascade of its
// contexts, which cannot take the image in slices (Lanczos crashes from a
// factor of about 30, its area filter from about 170); an exact box takes
// the image down to within it first.
constexpr int32_t kMostLibraryFactor = 8;

// Row distance of the library's planes: its SIMD code likes aligned rows.
size_t Aligned(int32_t bytes) { return (static_cast<size_t>(bytes) + 63) & ~size_t{63}; }

uint8_t* AllocateAligned(size_t bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, bytes > 0 ? bytes : 64) != 0) return nullptr;
  return static_cast<uint8_t*>(p);
}

// The integer box factor for `from` -> `to`: 1 while the library can go all
// the way, else the factor that leaves it a factor of 4 to 6.
int32_t BoxFactor(int32_t from, int32_t to) {
  if (from <= static_cast<int64_t>(kMostLibraryFactor) * to) return 1;
  return from / (4 * to);
}

}  // namespace

struct Resampler {
  const Library* library = nullptr;
  int32_t srcW = 0, srcH = 0, dstW = 0, dstH = 0, channels = 0;
  // The box stage: source rows summed into blocks of bx x by.
  int32_t bx = 1, by = 1, midW = 0, midH = 0;
  std::vector<uint64_t> sums;  // midW * channels (a block can hold 2^26 pixels)
  std::vector<uint8_t> mid;    // one averaged row
  int32_t rowsInBlock = 0;
  int32_t rowsIn = 0;
  int32_t midRows = 0;         // rows handed on from the box stage
  // The library stage, one context a channel.
  bool scale = false;
  std::vector<SwsContext*> contexts;
  uint8_t* planeIn = nullptr;   // one row a channel, inStride apart
  uint8_t* planeOut = nullptr;  // `capacity` rows a channel, outStride apart
  size_t inStride = 0, outStride = 0;
  int32_t capacity = 0;
  // Output rows first..made - 1, interleaved.
  std::vector<uint8_t> out;
  int32_t first = 0;
  int32_t made = 0;
};

bool ResamplingAvailable() { return true; }

void FreeResampler(Resampler* r) {
  if (r == nullptr) return;
  for (SwsContext* c : r->contexts) r->library->sws_freeContext(c);
  std::free(r->planeIn);
  std::free(r->planeOut);
  delete r;
}

Resampler* NewResampler(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight,
                        int32_t channels, std::string* error) {
  if (srcWidth < 1 || srcHeight < 1 || dstWidth < 1 || dstHeight < 1 || channels < 1 ||
      channels > 255) {
    *error = "cannot resample " + std::to_string(srcWidth) + " x " + std::to_string(srcHeight) +
             " pixels to " + std::to_string(dstWidth) + " x " + std::to_string(dstHeight);
    return nullptr;
  }
  const Library* library = LoadSwscale(error);
  if (library == nullptr) return nullptr;
  Resampler* r = new Resampler;
  r->library = library;
  r->srcW = srcWidth;
  r->srcH = srcHeight;
  r->dstW = dstWidth;
  r->dstH = dstHeight;
  r->channels = channels;
  r->bx = BoxFactor(srcWidth, dstWidth);
  r->by = BoxFactor(srcHeight, dstHeight);
  r->midW = (srcWidth + r->bx - 1) / r->bx;
  r->midH = (srcHeight + r->by - 1) / r->by;
  const size_t c = static_cast<size_t>(channels);
  r->sums.assign(static_cast<size_t>(r->midW) * c, 0);
  r->mid.assign(static_cast<size_t>(r->midW) * c, 0);
  r->scale = r->midW != dstWidth || r->midH != dstHeight;
  if (r->scale) {
    // Rows one source row can complete: about the upscaling factor, but
    // where the filter (6 rows for Lanczos 3, 8 once aligned) is clamped at
    // the top and bottom edges, every output row centred within its half
    // width of the edge comes at once.
    const int64_t up = (dstHeight + r->midH - 1) / r->midH;
    r->capacity = static_cast<int32_t>(10 * up + 16 < dstHeight ? 10 * up + 16 : dstHeight);
    r->inStride = Aligned(r->midW);
    r->outStride = Aligned(dstWidth);
    // With room past the last row for the library's vector loads and stores.
    r->planeIn = AllocateAligned(r->inStride * c + 64);
    r->planeOut = AllocateAligned(r->outStride * static_cast<size_t>(r->capacity) * c + 64);
    if (r->planeIn == nullptr || r->planeOut == nullptr) {
      *error = "out of memory for resampling";
      FreeResampler(r);
      return nullptr;
    }
    for (int32_t k = 0; k < channels; ++k) {
      SwsContext* context = library->sws_getContext(r->midW, r->midH, AV_PIX_FMT_GRAY8, dstWidth, dstHeight,
                                           AV_PIX_FMT_GRAY8,
                                           SWS_LANCZOS | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr,
                                           nullptr, nullptr);
      if (context == nullptr) {
        *error = "libswscale cannot resample " + std::to_string(r->midW) + " x " +
                 std::to_string(r->midH) + " pixels to " + std::to_string(dstWidth) + " x " +
                 std::to_string(dstHeight);
        FreeResampler(r);
        return nullptr;
      }
      r->contexts.push_back(context);
    }
  }
  return r;
}

namespace {

void Append(Resampler* r, const uint8_t* row) {
  const size_t bytes = static_cast<size_t>(r->dstW) * static_cast<size_t>(r->channels);
  r->out.insert(r->out.end(), row, row + bytes);
  ++r->made;
}

// Interleaved pixels to one plane a channel and back; C channels, or any
// number for C = 0 (the common counts get loops the compiler vectorises).
template <int C>
void Split(const uint8_t* row, int32_t width, int32_t channels, uint8_t* planes, size_t stride) {
  const size_t c = C > 0 ? static_cast<size_t>(C) : static_cast<size_t>(channels);
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* p = row + static_cast<size_t>(x) * c;
    for (size_t k = 0; k < c; ++k) planes[k * stride + static_cast<size_t>(x)] = p[k];
  }
}

template <int C>
void Join(const uint8_t* planes, size_t stride, int32_t width, int32_t channels, uint8_t* row) {
  const size_t c = C > 0 ? static_cast<size_t>(C) : static_cast<size_t>(channels);
  for (size_t k = 0; k < c; ++k) {
    const uint8_t* plane = planes + k * stride;
    for (int32_t x = 0; x < width; ++x) row[static_cast<size_t>(x) * c + k] = plane[x];
  }
}

// One row of the box stage's output into the library stage, and what comes
// out of it into the held rows.
bool Scale(Resampler* r, const uint8_t* row, std::string* error) {
  if (!r->scale) {
    Append(r, row);
    return true;
  }
  const int32_t channels = r->channels;
  const size_t c = static_cast<size_t>(channels);
  switch (channels) {
    case 1: Split<1>(row, r->midW, channels, r->planeIn, r->inStride); break;
    case 3: Split<3>(row, r->midW, channels, r->planeIn, r->inStride); break;
    case 4: Split<4>(row, r->midW, channels, r->planeIn, r->inStride); break;
    default: Split<0>(row, r->midW, channels, r->planeIn, r->inStride); break;
  }
  int got = -1;
  const int inStride = static_cast<int>(r->inStride), outStride = static_cast<int>(r->outStride);
  for (int32_t k = 0; k < channels; ++k) {
    const uint8_t* in[4] = {r->planeIn + static_cast<size_t>(k) * r->inStride, nullptr, nullptr, nullptr};
    const int inStrides[4] = {inStride, 0, 0, 0};
    // The library writes output row y at y row distances past the pointer
    // it is given, however few rows a call makes: the pointer is moved back
    // so that the rows of this call land at the start of this channel's
    // rows. It is never read or written through where it points.
    const uintptr_t start = reinterpret_cast<uintptr_t>(r->planeOut) +
                            static_cast<uintptr_t>(k) * r->outStride * static_cast<uintptr_t>(r->capacity);
    uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(start - static_cast<uintptr_t>(r->made) * r->outStride),
                       nullptr, nullptr, nullptr};
    const int dstStrides[4] = {outStride, 0, 0, 0};
    int n = r->library->sws_scale(r->contexts[static_cast<size_t>(k)], in, inStrides, r->midRows - 1, 1, dst, dstStrides);
    if (n < 0 || n > r->capacity || r->made + n > r->dstH || (got >= 0 && n != got)) {
      *error = "libswscale failed while resampling (" + std::to_string(n) + " rows)";
      return false;
    }
    got = n;
  }
  const size_t rowBytes = static_cast<size_t>(r->dstW) * c;
  const size_t at = r->out.size();
  r->out.resize(at + rowBytes * static_cast<size_t>(got));
  const size_t planeStride = r->outStride * static_cast<size_t>(r->capacity);
  for (int32_t y = 0; y < got; ++y) {
    const uint8_t* planes = r->planeOut + static_cast<size_t>(y) * r->outStride;
    uint8_t* line = r->out.data() + at + static_cast<size_t>(y) * rowBytes;
    switch (channels) {
      case 1: Join<1>(planes, planeStride, r->dstW, channels, line); break;
      case 3: Join<3>(planes, planeStride, r->dstW, channels, line); break;
      case 4: Join<4>(planes, planeStride, r->dstW, channels, line); break;
      default: Join<0>(planes, planeStride, r->dstW, channels, line); break;
    }
  }
  r->made += got;
  return true;
}

// Adds each block of bx pixels of `row` to its sums; C channels, or any
// number for C = 0 (the common counts get loops the compiler unrolls).
template <int C>
void SumBlocks(Resampler* r, const uint8_t* row) {
  const size_t c = C > 0 ? static_cast<size_t>(C) : static_cast<size_t>(r->channels);
  for (int32_t i = 0; i < r->midW; ++i) {
    const int32_t x0 = i * r->bx;
    const int32_t x1 = x0 + r->bx < r->srcW ? x0 + r->bx : r->srcW;
    uint64_t* sum = &r->sums[static_cast<size_t>(i) * c];
    if (C > 0) {
      // A row of one block fits 32 bits: at most 8191 pixels of 255.
      uint32_t part[C > 0 ? C : 1] = {};
      for (int32_t x = x0; x < x1; ++x) {
        const uint8_t* p = row + static_cast<size_t>(x) * c;
        for (size_t k = 0; k < c; ++k) part[k] += p[k];
      }
      for (size_t k = 0; k < c; ++k) sum[k] += part[k];
    } else {
      for (int32_t x = x0; x < x1; ++x) {
        const uint8_t* p = row + static_cast<size_t>(x) * c;
        for (size_t k = 0; k < c; ++k) sum[k] += p[k];
      }
    }
  }
}

}  // namespace

bool ResamplerPush(Resampler* r, const uint8_t* row, std::string* error) {
  if (r->rowsIn >= r->srcH) {
    *error = "more rows than the image has given to the resampler";
    return false;
  }
  ++r->rowsIn;
  if (r->bx == 1 && r->by == 1) {
    ++r->midRows;
    return Scale(r, row, error);
  }
  switch (r->channels) {
    case 1: SumBlocks<1>(r, row); break;
    case 2: SumBlocks<2>(r, row); break;
    case 3: SumBlocks<3>(r, row); break;
    case 4: SumBlocks<4>(r, row); break;
    default: SumBlocks<0>(r, row); break;
  }
  const size_t c = static_cast<size_t>(r->channels);
  ++r->rowsInBlock;
  if (r->rowsInBlock < r->by && r->rowsIn < r->srcH) return true;
  for (int32_t i = 0; i < r->midW; ++i) {
    const int32_t x0 = i * r->bx;
    const uint64_t wide = static_cast<uint64_t>(x0 + r->bx < r->srcW ? r->bx : r->srcW - x0);
    const uint64_t n = wide * static_cast<uint64_t>(r->rowsInBlock);
    for (size_t k = 0; k < c; ++k) {
      uint64_t& s = r->sums[static_cast<size_t>(i) * c + k];
      r->mid[static_cast<size_t>(i) * c + k] = static_cast<uint8_t>((s + n / 2) / n);
      s = 0;
    }
  }
  r->rowsInBlock = 0;
  ++r->midRows;
  return Scale(r, r->mid.data(), error);
}

int32_t ResamplerRowsIn(const Resampler* r) { return r->rowsIn; }
int32_t ResamplerFirstRow(const Resampler* r) { return r->first; }
int32_t ResamplerEndRow(const Resampler* r) { return r->made; }

const uint8_t* ResamplerRow(const Resampler* r, int32_t y) {
  return r->out.data() + static_cast<size_t>(y - r->first) * static_cast<size_t>(r->dstW) *
                             static_cast<size_t>(r->channels);
}

void ResamplerDrop(Resampler* r, int32_t y) {
  if (y <= r->first) return;
  if (y > r->made) y = r->made;
  const size_t bytes = static_cast<size_t>(y - r->first) * static_cast<size_t>(r->dstW) *
                       static_cast<size_t>(r->channels);
  r->out.erase(r->out.begin(), r->out.begin() + static_cast<std::ptrdiff_t>(bytes));
  r->first = y;
}
