#include "host/image/stages/Resample.h"

#include <zimg.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// zimg's Lanczos filter widens with the shrinking factor, and so does the
// window of rows a band of output needs; an exact box takes a larger factor
// down to 4..6 first, which is also faster than the wide filter (Resample.h).
constexpr int32_t kMostLibraryFactor = 8;
// Rows the horizontal pass takes at once: zimg's vector code works on
// several rows together, and a row alone costs about five times as much.
constexpr int32_t kAcrossRows = 16;
// Output rows made together by the vertical pass, each band with a graph of
// its own (a few tens of microseconds), fewer when rows are wide.
constexpr int32_t kMostBandRows = 32;
constexpr size_t kBandBytes = 256 * 1024;
constexpr int kLanczosTaps = 3;

// zimg wants rows and row distances on 32-byte boundaries (64 where its
// widest vector code runs).
size_t Aligned(size_t bytes) { return (bytes + 63) & ~size_t{63}; }

struct AlignedBuffer {
  uint8_t* data = nullptr;
  size_t size = 0;
  AlignedBuffer() = default;
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  ~AlignedBuffer() { std::free(data); }
  bool Reserve(size_t bytes) {
    if (bytes <= size) return true;
    void* p = nullptr;
    if (posix_memalign(&p, 64, Aligned(bytes)) != 0) return false;
    std::free(data);
    data = static_cast<uint8_t*>(p);
    size = bytes;
    return true;
  }
};

// The integer box factor for `from` -> `to`: 1 while the library can go all
// the way, else the factor that leaves it a factor of 4 to 6.
int32_t BoxFactor(int32_t from, int32_t to) {
  if (from <= static_cast<int64_t>(kMostLibraryFactor) * to) return 1;
  return from / (4 * to);
}

std::string Size(int64_t w, int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

std::string ZimgError() {
  char message[256] = {};
  const int code = zimg_get_last_error(message, sizeof message);
  zimg_clear_last_error();
  return "zimg error " + std::to_string(code) +
         (message[0] != 0 ? std::string(": ") + message : "");
}

zimg_image_format Plane(uint32_t width, uint32_t height, zimg_pixel_type_e type) {
  zimg_image_format f;
  zimg_image_format_default(&f, ZIMG_API_VERSION);
  f.width = width;
  f.height = height;
  f.pixel_type = type;
  f.depth = type == ZIMG_PIXEL_BYTE ? 8 : 16;
  f.color_family = ZIMG_COLOR_GREY;
  f.pixel_range = ZIMG_RANGE_FULL;
  return f;
}

zimg_filter_graph* Graph(const zimg_image_format& from, const zimg_image_format& to) {
  zimg_graph_builder_params params;
  zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
  params.resample_filter = ZIMG_RESIZE_LANCZOS;
  params.filter_param_a = kLanczosTaps;
  params.dither_type = ZIMG_DITHER_NONE;
  return zimg_filter_graph_build(&from, &to, &params);
}

}  // namespace

// Each channel is a plane of grey of its own, so that no colour meaning of
// the library's touches the values. The horizontal pass runs on batches of
// rows as they come, into 16-bit rows kept in a ring; the vertical pass
// makes a band of output rows at a time from the ring, when they are asked
// for, with a graph whose source is the whole image and whose active
// region is the band's (as zimg's own tiling does), so its edges are the
// image's edges. Bands start at multiples of bandRows whatever is asked,
// so that the rows are the same however they are read.
struct Resampler {
  int32_t srcW = 0, srcH = 0, dstW = 0, dstH = 0, channels = 0;
  ResamplerBudget budget;
  uint64_t charged = 0;  // what the budget has been charged
  bool prepared = false;  // the buffers are there (taken at the first row)
  // The box stage: source rows summed into blocks of bx x by.
  int32_t bx = 1, by = 1, midW = 0, midH = 0;
  std::vector<uint64_t> sums;  // midW * channels (a block can hold 2^26 pixels)
  std::vector<uint8_t> mid;    // one averaged row
  int32_t rowsInBlock = 0;
  int32_t rowsIn = 0;
  int32_t midRows = 0;  // rows handed on from the box stage
  bool scale = false;   // false: the box (or nothing) gives the size asked for
  // Across: kAcrossRows rows a channel, batchStride apart.
  zimg_filter_graph* across = nullptr;
  AlignedBuffer batch;
  size_t batchStride = 0;
  int32_t batchFill = 0;
  // Rows done across: ringRows (a power of two) 16-bit rows a channel,
  // row r at r % ringRows. Rows held..acrossEnd - 1 are there.
  AlignedBuffer ring;
  size_t ringStride = 0;
  int32_t ringRows = 0;
  int32_t acrossEnd = 0;
  int32_t held = 0;
  // Down: bands of bandRows output rows, one plane after another.
  int32_t bandRows = 0;
  AlignedBuffer band;
  size_t bandStride = 0;
  double support = 0;  // in rows of the ring, either side of a row's centre
  AlignedBuffer scratch;
  // Output rows below `ready` can be made from the rows done across.
  int32_t ready = 0;
  // Output rows outTop..made - 1, interleaved, in `out` (outBytes long,
  // all of it charged); those from `first` on are not dropped.
  uint8_t* out = nullptr;
  size_t outBytes = 0;
  int32_t outTop = 0;
  int32_t first = 0;
  int32_t made = 0;
};

bool ResamplingAvailable() { return true; }

void FreeResampler(Resampler* r) {
  if (r == nullptr) return;
  zimg_filter_graph_free(r->across);
  std::free(r->out);
  if (r->charged > 0 && r->budget.release != nullptr) r->budget.release(r->budget.context, r->charged);
  delete r;
}

Resampler* NewResampler(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight,
                        int32_t channels, const ResamplerBudget* budget, std::string* error) {
  if (srcWidth < 1 || srcHeight < 1 || dstWidth < 1 || dstHeight < 1 || channels < 1 ||
      channels > 255) {
    *error =
        "cannot resample " + Size(srcWidth, srcHeight) + " pixels to " + Size(dstWidth, dstHeight);
    return nullptr;
  }
  Resampler* r = new Resampler;
  if (budget != nullptr) r->budget = *budget;
  r->srcW = srcWidth;
  r->srcH = srcHeight;
  r->dstW = dstWidth;
  r->dstH = dstHeight;
  r->channels = channels;
  r->bx = BoxFactor(srcWidth, dstWidth);
  r->by = BoxFactor(srcHeight, dstHeight);
  r->midW = (srcWidth + r->bx - 1) / r->bx;
  r->midH = (srcHeight + r->by - 1) / r->by;
  r->scale = r->midW != dstWidth || r->midH != dstHeight;
  if (!r->scale) return r;

  const size_t outRow = static_cast<size_t>(dstWidth) * static_cast<size_t>(channels);
  r->bandRows = static_cast<int32_t>(kBandBytes / outRow);
  if (r->bandRows < 1) r->bandRows = 1;
  if (r->bandRows > kMostBandRows) r->bandRows = kMostBandRows;
  if (r->bandRows > dstHeight) r->bandRows = dstHeight;
  // A band needs the rows under it and the filter's reach either side; the
  // ring holds that and a batch more, the batch that is being done across
  // while a band waits.
  const double step = static_cast<double>(r->midH) / dstHeight;
  r->support = kLanczosTaps * (step > 1 ? step : 1.0);
  const double window = r->bandRows * step + 2 * r->support + 4;
  int64_t rows = kAcrossRows;
  while (rows < static_cast<int64_t>(std::ceil(window)) + kAcrossRows) rows *= 2;
  r->ringRows = static_cast<int32_t>(rows);
  r->batchStride = Aligned(static_cast<size_t>(r->midW));
  r->ringStride = Aligned(static_cast<size_t>(dstWidth) * 2);
  r->bandStride = Aligned(static_cast<size_t>(dstWidth));
  return r;
}

namespace {

bool Charge(Resampler* r, uint64_t bytes, std::string* error) {
  if (bytes == 0) return true;
  if (r->budget.charge != nullptr && !r->budget.charge(r->budget.context, bytes, error)) return false;
  r->charged += bytes;
  return true;
}

void Uncharge(Resampler* r, uint64_t bytes) {
  r->charged -= bytes;
  if (r->budget.release != nullptr) r->budget.release(r->budget.context, bytes);
}

// Memory charged but not had after all.
bool OutOfMemory(Resampler* r, uint64_t charged, std::string* error) {
  Uncharge(r, charged);
  *error = "out of memory for resampling " + Size(r->srcW, r->srcH) + " pixels to " +
           Size(r->dstW, r->dstH);
  return false;
}

// What zimg's graph across holds, which the library does not tell: for
// every output column a row of the filter's coefficients as floats and
// again as 16-bit integers, each padded to 64 bytes, and where the
// column's source pixels start (4.3 MB for 32767 columns enlarged).
uint64_t AcrossTables(const Resampler* r) {
  const double step = static_cast<double>(r->midW) / r->dstW;
  const uint64_t taps = static_cast<uint64_t>(std::ceil(2 * kLanczosTaps * (step > 1 ? step : 1.0))) + 1;
  return static_cast<uint64_t>(r->dstW) * (Aligned(taps * 4) + Aligned(taps * 2) + 4);
}

// The graph across and the buffers every row goes through, taken and
// charged at the first row rather than at once, so that a resampler that is
// made again after it gave its memory back holds none until it is used.
bool Prepare(Resampler* r, std::string* error) {
  const size_t c = static_cast<size_t>(r->channels);
  const size_t row = static_cast<size_t>(r->midW) * c;
  const bool box = r->bx > 1 || r->by > 1;
  const size_t batch = r->batchStride * kAcrossRows * c;
  const size_t ring = r->ringStride * static_cast<size_t>(r->ringRows) * c;
  const size_t band = r->bandStride * static_cast<size_t>(r->bandRows) * c;
  // Charged as one, so that a refusal names all that the resizing needs.
  uint64_t bytes = box ? row * (sizeof(uint64_t) + 1) : 0;
  if (r->scale) bytes += AcrossTables(r) + Aligned(batch) + Aligned(ring) + Aligned(band);
  if (!Charge(r, bytes, error)) return false;
  if (box) {
    r->sums.assign(row, 0);
    r->mid.assign(row, 0);
  }
  if (r->scale) {
    if (r->across == nullptr) {
      r->across = Graph(Plane(static_cast<uint32_t>(r->midW), kAcrossRows, ZIMG_PIXEL_BYTE),
                        Plane(static_cast<uint32_t>(r->dstW), kAcrossRows, ZIMG_PIXEL_WORD));
    }
    if (r->across == nullptr) {
      *error = "zimg cannot resample " + Size(r->midW, r->midH) + " pixels to " +
               Size(r->dstW, r->dstH) + " (" + ZimgError() + ")";
      Uncharge(r, bytes);
      return false;
    }
    if (!r->batch.Reserve(batch) || !r->ring.Reserve(ring) || !r->band.Reserve(band)) {
      return OutOfMemory(r, bytes, error);
    }
    // A last batch shorter than the rest is done across whole; what its
    // unused rows hold is never read back, but it is defined.
    std::memset(r->batch.data, 0, r->batch.size);
  }
  r->prepared = true;
  return true;
}

size_t RowBytes(const Resampler* r) {
  return static_cast<size_t>(r->dstW) * static_cast<size_t>(r->channels);
}

// Room in `out` for rows outTop..end - 1; what it grows by is charged. It
// grows to what a request holds at once and stays so, its rows moved down
// as the ones above are dropped.
bool Room(Resampler* r, int32_t end, std::string* error) {
  const size_t bytes = static_cast<size_t>(end - r->outTop) * RowBytes(r);
  if (bytes <= r->outBytes) return true;
  if (!Charge(r, bytes - r->outBytes, error)) return false;
  void* grown = std::realloc(r->out, bytes);
  if (grown == nullptr) return OutOfMemory(r, bytes - r->outBytes, error);
  r->out = static_cast<uint8_t*>(grown);
  r->outBytes = bytes;
  return true;
}

// A row of the box stage that is the output itself. Rows above the ones
// still wanted are passed over.
bool Append(Resampler* r, const uint8_t* row, std::string* error) {
  if (r->made < r->first) {
    r->outTop = ++r->made;
    r->ready = r->made;
    return true;
  }
  if (!Room(r, r->made + 1, error)) return false;
  std::memcpy(r->out + static_cast<size_t>(r->made - r->outTop) * RowBytes(r), row, RowBytes(r));
  r->ready = ++r->made;
  return true;
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

bool Process(Resampler* r, const zimg_filter_graph* graph, const zimg_image_buffer_const& from,
             const zimg_image_buffer& to, zimg_filter_graph_callback unpack, void* user,
             std::string* error) {
  size_t bytes = 0;
  if (zimg_filter_graph_get_tmp_size(graph, &bytes) != ZIMG_ERROR_SUCCESS) {
    *error = "resampling failed (" + ZimgError() + ")";
    return false;
  }
  if (bytes > r->scratch.size) {
    const uint64_t more = Aligned(bytes) - Aligned(r->scratch.size);
    if (!Charge(r, more, error)) return false;
    if (!r->scratch.Reserve(bytes)) return OutOfMemory(r, more, error);
  }
  if (zimg_filter_graph_process(graph, &from, &to, r->scratch.data, unpack, user, nullptr,
                                nullptr) != ZIMG_ERROR_SUCCESS) {
    *error = "resampling failed (" + ZimgError() + ")";
    return false;
  }
  return true;
}

// The end of the band that starts at `top`.
int32_t BandEnd(const Resampler* r, int32_t top) {
  return top + r->bandRows < r->dstH ? top + r->bandRows : r->dstH;
}

// Where a band's rows come from in the ring: its first row and the end.
void Reach(const Resampler* r, int32_t top, int32_t bottom, int32_t* from, int32_t* to) {
  const double step = static_cast<double>(r->midH) / r->dstH;
  const double low = std::floor(top * step - r->support) - 1;
  const double high = std::ceil(bottom * step + r->support) + 1;
  *from = low < 0 ? 0 : static_cast<int32_t>(low);
  *to = high > r->midH ? r->midH : static_cast<int32_t>(high);
}

// The batch across, into the ring. The batch starts at a multiple of its
// size and the ring is a multiple of it, so its rows lie together there.
// The rows of a last, partial batch past the image's end are done too (the
// graph takes a whole batch) and land where the ring's oldest rows were.
bool Across(Resampler* r, std::string* error) {
  const int32_t start = r->midRows - r->batchFill;
  uint8_t* at = r->ring.data + static_cast<size_t>(start & (r->ringRows - 1)) * r->ringStride;
  const size_t ringPlane = r->ringStride * static_cast<size_t>(r->ringRows);
  for (int32_t k = 0; k < r->channels; ++k) {
    zimg_image_buffer_const from{};
    from.version = ZIMG_API_VERSION;
    from.plane[0].data = r->batch.data + static_cast<size_t>(k) * r->batchStride * kAcrossRows;
    from.plane[0].stride = static_cast<ptrdiff_t>(r->batchStride);
    from.plane[0].mask = ZIMG_BUFFER_MAX;
    zimg_image_buffer to{};
    to.version = ZIMG_API_VERSION;
    to.plane[0].data = at + static_cast<size_t>(k) * ringPlane;
    to.plane[0].stride = static_cast<ptrdiff_t>(r->ringStride);
    to.plane[0].mask = ZIMG_BUFFER_MAX;
    if (!Process(r, r->across, from, to, nullptr, nullptr, error)) return false;
  }
  r->acrossEnd = r->midRows;
  const int32_t written = start + kAcrossRows;
  r->held = written > r->ringRows ? written - r->ringRows : 0;
  r->batchFill = 0;
  // The bands whose rows are all in now can be made.
  while (r->ready < r->dstH) {
    const int32_t bottom = BandEnd(r, r->ready);
    int32_t from = 0, to = 0;
    Reach(r, r->ready, bottom, &from, &to);
    if (to > r->acrossEnd) break;
    r->ready = bottom;
  }
  return true;
}

// Asked by zimg before it reads row i of the ring: the row must be there.
int CheckRow(void* user, unsigned i, unsigned, unsigned) {
  const Resampler* r = static_cast<const Resampler*>(user);
  return static_cast<int64_t>(i) >= r->held && static_cast<int64_t>(i) < r->acrossEnd ? 0 : 1;
}

bool Down(Resampler* r, int32_t top, int32_t bottom, std::string* error) {
  const double step = static_cast<double>(r->midH) / r->dstH;
  zimg_image_format from =
      Plane(static_cast<uint32_t>(r->dstW), static_cast<uint32_t>(r->midH), ZIMG_PIXEL_WORD);
  from.active_region.left = 0;
  from.active_region.width = r->dstW;
  from.active_region.top = static_cast<double>(top) * r->midH / r->dstH;
  from.active_region.height = (bottom - top) * step;
  const zimg_image_format to =
      Plane(static_cast<uint32_t>(r->dstW), static_cast<uint32_t>(bottom - top), ZIMG_PIXEL_BYTE);
  zimg_filter_graph* graph = Graph(from, to);
  if (graph == nullptr) {
    *error = "zimg cannot resample " + Size(r->dstW, r->midH) + " pixels to " +
             Size(r->dstW, r->dstH) + " (" + ZimgError() + ")";
    return false;
  }
  const size_t ringPlane = r->ringStride * static_cast<size_t>(r->ringRows);
  const size_t bandPlane = r->bandStride * static_cast<size_t>(r->bandRows);
  bool ok = true;
  for (int32_t k = 0; k < r->channels && ok; ++k) {
    zimg_image_buffer_const in{};
    in.version = ZIMG_API_VERSION;
    in.plane[0].data = r->ring.data + static_cast<size_t>(k) * ringPlane;
    in.plane[0].stride = static_cast<ptrdiff_t>(r->ringStride);
    in.plane[0].mask = static_cast<unsigned>(r->ringRows - 1);
    zimg_image_buffer out{};
    out.version = ZIMG_API_VERSION;
    out.plane[0].data = r->band.data + static_cast<size_t>(k) * bandPlane;
    out.plane[0].stride = static_cast<ptrdiff_t>(r->bandStride);
    out.plane[0].mask = ZIMG_BUFFER_MAX;
    ok = Process(r, graph, in, out, CheckRow, r, error);
  }
  zimg_filter_graph_free(graph);
  if (!ok) return false;
  if (!Room(r, bottom, error)) return false;
  const int32_t channels = r->channels;
  const size_t rowBytes = RowBytes(r);
  for (int32_t y = 0; y < bottom - top; ++y) {
    const uint8_t* planes = r->band.data + static_cast<size_t>(y) * r->bandStride;
    uint8_t* line = r->out + static_cast<size_t>(top - r->outTop + y) * rowBytes;
    switch (channels) {
      case 1:
        Join<1>(planes, bandPlane, r->dstW, channels, line);
        break;
      case 3:
        Join<3>(planes, bandPlane, r->dstW, channels, line);
        break;
      case 4:
        Join<4>(planes, bandPlane, r->dstW, channels, line);
        break;
      default:
        Join<0>(planes, bandPlane, r->dstW, channels, line);
        break;
    }
  }
  r->made = bottom;
  return true;
}

// One row of the box stage's output into the library stages: a batch
// full, or the last row, is done across.
bool Scale(Resampler* r, const uint8_t* row, std::string* error) {
  if (!r->scale) return Append(r, row, error);
  uint8_t* planes = r->batch.data + static_cast<size_t>(r->batchFill) * r->batchStride;
  const size_t stride = r->batchStride * kAcrossRows;
  switch (r->channels) {
    case 1:
      Split<1>(row, r->midW, r->channels, planes, stride);
      break;
    case 3:
      Split<3>(row, r->midW, r->channels, planes, stride);
      break;
    case 4:
      Split<4>(row, r->midW, r->channels, planes, stride);
      break;
    default:
      Split<0>(row, r->midW, r->channels, planes, stride);
      break;
  }
  ++r->batchFill;
  if (r->batchFill < kAcrossRows && r->midRows < r->midH) return true;
  return Across(r, error);
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
  if (!r->prepared && !Prepare(r, error)) return false;
  ++r->rowsIn;
  if (r->bx == 1 && r->by == 1) {
    ++r->midRows;
    return Scale(r, row, error);
  }
  switch (r->channels) {
    case 1:
      SumBlocks<1>(r, row);
      break;
    case 2:
      SumBlocks<2>(r, row);
      break;
    case 3:
      SumBlocks<3>(r, row);
      break;
    case 4:
      SumBlocks<4>(r, row);
      break;
    default:
      SumBlocks<0>(r, row);
      break;
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
int32_t ResamplerEndRow(const Resampler* r) { return r->ready; }

bool ResamplerMake(Resampler* r, int32_t end, std::string* error) {
  if (end > r->ready) {
    *error = "resampling was asked for row " + std::to_string(end - 1) + " before its source rows";
    return false;
  }
  while (r->made < end) {
    // An enlarged image can hold many bands in one request; a stop is seen
    // between them.
    if (r->budget.stopped != nullptr && r->budget.stopped(r->budget.context, error)) return false;
    const int32_t top = r->made;
    const int32_t bottom = BandEnd(r, top);
    int32_t from = 0, to = 0;
    Reach(r, top, bottom, &from, &to);
    if (from < r->held) {
      *error = "resampling lost rows it still needed";
      return false;
    }
    if (!Down(r, top, bottom, error)) return false;
  }
  return true;
}

const uint8_t* ResamplerRow(const Resampler* r, int32_t y) {
  return r->out + static_cast<size_t>(y - r->outTop) * RowBytes(r);
}

void ResamplerDrop(Resampler* r, int32_t y) {
  if (y <= r->first) return;
  r->first = y;
  if (y < r->made) {
    // The rows still wanted move down: no more than a band beyond the rows
    // of the request that is being served.
    std::memmove(r->out, r->out + static_cast<size_t>(y - r->outTop) * RowBytes(r),
                 static_cast<size_t>(r->made - y) * RowBytes(r));
    r->outTop = y;
    return;
  }
  // Past every row made: the bands above the one that holds `y` are never
  // made (their source rows may be gone from the ring by then).
  if (r->scale) {
    const int32_t band = y - y % r->bandRows;
    if (band > r->made) r->made = band;
  }
  r->outTop = r->made;
}
