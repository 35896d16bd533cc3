#include "host/image/stages/Resize.h"

#include <cstring>
#include <vector>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/stages/Convert.h"
#include "host/image/stages/Resample.h"
#include "host/image/stages/Stages.h"

struct ResizeStage {
  int32_t srcW = 0, srcH = 0, dstW = 0, dstH = 0;
  int16_t mode = kImageModeRGB;
  Conversion toWork;          // stored -> the colour that is averaged
  int32_t colour = 0;         // its colour channels
  int32_t channels = 0;       // and alpha, when kept
  bool premultiply = false;
  uint8_t white[255] = {};    // the work colour's white, channel by channel
  std::vector<uint8_t> work;  // one source row of work colour
  ResamplerBudget budget;     // the image's
  Resampler* resampler = nullptr;
  Conversion fromWork;        // averaged colour -> the mode
  std::vector<uint8_t> straight;  // one output run, alpha divided out
  // Indexed delivery of a palette image: the nearest entry of its table.
  bool nearest = false;
  bool alphaPlane = false;
  uint8_t palette[256][3] = {};
  int32_t paletteCount = 0;
  int32_t transparentIndex = -1;
  std::vector<uint32_t> cacheKey;  // colour + 1 (0: empty)
  std::vector<uint8_t> cacheIndex;
  // Colour rows: what the averaged rows hold (alpha divided out), to sRGB.
  StoredLayout averaged;
  ColourStage colourRows;
};

namespace {

// The mode whose planes are the stored colour itself.
bool WorkMode(StoredSpace space, int16_t* mode, StoredSpace* work) {
  switch (space) {
    case StoredSpace::Gray: *mode = kImageModeGray; *work = StoredSpace::Gray; return true;
    case StoredSpace::RGB:
    case StoredSpace::Indexed: *mode = kImageModeRGB; *work = StoredSpace::RGB; return true;
    case StoredSpace::CMYK: *mode = kImageModeCMYK; *work = StoredSpace::CMYK; return true;
    case StoredSpace::Lab: *mode = kImageModeLab; *work = StoredSpace::Lab; return true;
    case StoredSpace::Unknown: return false;
  }
  return false;
}

// The resampler's rows are the image's memory, and its stop the image's.
bool ChargeResampling(const void* source, uint64_t bytes, std::string* error) {
  return ChargeMemory(*static_cast<const ImageSource*>(source), bytes, "resizing", error);
}
void ReleaseResampling(const void* source, uint64_t bytes) {
  ReleaseMemory(*static_cast<const ImageSource*>(source), bytes);
}
bool ResamplingStopped(const void* source, std::string* error) {
  return Interrupted(*static_cast<const ImageSource*>(source), error);
}

uint8_t Nearest(ResizeStage* s, const uint8_t* rgb) {
  const uint32_t key = (static_cast<uint32_t>(rgb[0]) << 16 | static_cast<uint32_t>(rgb[1]) << 8 | rgb[2]) + 1;
  const size_t slot = ((key * 2654435761u) >> 20) & 4095;
  if (s->cacheKey[slot] == key) return s->cacheIndex[slot];
  int best = 0;
  int bestDistance = 1 << 30;
  for (int i = 0; i < s->paletteCount; ++i) {
    int d = 0;
    for (int k = 0; k < 3; ++k) d += (rgb[k] - s->palette[i][k]) * (rgb[k] - s->palette[i][k]);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  s->cacheKey[slot] = key;
  s->cacheIndex[slot] = static_cast<uint8_t>(best);
  return static_cast<uint8_t>(best);
}

}  // namespace

void FreeResizeStage(ResizeStage* s) {
  if (s == nullptr) return;
  FreeResampler(s->resampler);
  FreeConversion(&s->toWork);
  FreeConversion(&s->fromWork);
  FreeColourStage(&s->colourRows);
  delete s;
}

ResizeStage* NewResizeStage(const StoredLayout& layout, int32_t srcWidth, int32_t srcHeight,
                            int32_t dstWidth, int32_t dstHeight, const ImageInfo& info,
                            bool keepAlpha, const ImageSource* source, std::string* why) {
  ResizeStage* s = new ResizeStage;
  s->budget = ResamplerBudget{source, ChargeResampling, ReleaseResampling, ResamplingStopped};
  auto fail = [&]() {
    FreeResizeStage(s);
    return nullptr;
  };
  s->srcW = srcWidth;
  s->srcH = srcHeight;
  s->dstW = dstWidth;
  s->dstH = dstHeight;
  s->mode = info.mode;
  StoredLayout work;  // what the resampled rows hold
  work.width = dstWidth;
  work.height = dstHeight;
  if (info.mode == kImageModeMultichannel) {
    if (layout.space == StoredSpace::Indexed) {
      *why = "palette indices cannot be resized; ask for indexed mode or a colour mode";
      return fail();
    }
    // Every channel as stored, averaged on its own.
    if (!PrepareConversion(layout, kImageModeMultichannel, keepAlpha, srcWidth, &s->toWork, why)) return fail();
    s->colour = s->channels = layout.channels;
    work.space = layout.space;
    work.channels = layout.channels;
    s->averaged = work;
    s->averaged.alphaChannel = layout.alphaChannel;
    s->averaged.alphaPremultiplied = layout.alphaPremultiplied;
  } else {
    int16_t workMode = kImageModeRGB;
    if (!WorkMode(layout.space, &workMode, &work.space)) {
      *why = "its channels have no known colour meaning";
      return fail();
    }
    if (!PrepareConversion(layout, workMode, keepAlpha, srcWidth, &s->toWork, why)) return fail();
    s->channels = s->toWork.planes;
    s->colour = s->toWork.modePlanes;
    s->premultiply = s->toWork.alphaPlane;
    work.channels = s->channels;
    work.alphaChannel = s->premultiply ? s->colour : -1;
    std::memset(s->white, 255, sizeof s->white);
    if (work.space == StoredSpace::Lab) s->white[1] = s->white[2] = 128;
    s->averaged = work;
  }
  s->nearest = info.mode == kImageModeIndexed && layout.space == StoredSpace::Indexed;
  if (s->nearest) {
    s->alphaPlane = info.alphaPlane;
    std::memcpy(s->palette, info.palette, sizeof s->palette);
    s->paletteCount = info.paletteCount > 0 ? info.paletteCount : 1;
    s->transparentIndex = info.transparentIndex;
    s->cacheKey.assign(4096, 0);
    s->cacheIndex.assign(4096, 0);
  } else {
    if (!PrepareConversion(work, info.mode, keepAlpha, dstWidth, &s->fromWork, why)) return fail();
    if (s->fromWork.planes != info.planes) {
      *why = "the resized image would have " + std::to_string(s->fromWork.planes) + " planes, not " +
             std::to_string(info.planes);
      return fail();
    }
  }
  s->work.resize(static_cast<size_t>(srcWidth) * static_cast<size_t>(s->channels));
  s->straight.resize(static_cast<size_t>(dstWidth) * static_cast<size_t>(s->channels));
  s->resampler = NewResampler(srcWidth, srcHeight, dstWidth, dstHeight, s->channels, &s->budget, why);
  if (s->resampler == nullptr) return fail();
  return s;
}

bool ResetResizeStage(ResizeStage* s, std::string* error) {
  FreeResampler(s->resampler);
  s->resampler = NewResampler(s->srcW, s->srcH, s->dstW, s->dstH, s->channels, &s->budget, error);
  return s->resampler != nullptr;
}

namespace {

// Takes the next oriented stored row (srcWidth pixels of the layout).
bool ResizeStagePush(ResizeStage* s, const uint8_t* stored, std::string* error) {
  uint8_t* work = s->work.data();
  ConvertPixels(&s->toWork, stored, s->srcW, work);
  if (s->premultiply) {
    // Colour over white: alpha-weighted, and white where nothing shows, so
    // transparent pixels add nothing of their own colour to an average.
    const size_t n = static_cast<size_t>(s->channels);
    for (int32_t i = 0; i < s->srcW; ++i) {
      uint8_t* p = work + static_cast<size_t>(i) * n;
      const int a = p[s->colour];
      for (int32_t k = 0; k < s->colour; ++k) {
        const int w = s->white[k];
        const int d = (p[k] - w) * a;
        p[k] = static_cast<uint8_t>(w + (d >= 0 ? (d + 127) / 255 : -((-d + 127) / 255)));
      }
    }
  }
  return ResamplerPush(s->resampler, work, error);
}

// Row y from `left` on, with premultiplied alpha divided out again.
const uint8_t* StraightRow(ResizeStage* s, int32_t y, int32_t left, int32_t count) {
  const size_t n = static_cast<size_t>(s->channels);
  const uint8_t* row = ResamplerRow(s->resampler, y) + static_cast<size_t>(left) * n;
  if (!s->premultiply) return row;
  uint8_t* straight = s->straight.data();
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p = row + static_cast<size_t>(i) * n;
    uint8_t* q = straight + static_cast<size_t>(i) * n;
    const int a = p[s->colour];
    for (int32_t k = 0; k < s->colour; ++k) {
      const int w = s->white[k];
      int v = w;
      if (a > 0) {
        const int d = (p[k] - w) * 255;
        v = w + (d >= 0 ? (d + a / 2) / a : -((-d + a / 2) / a));
      }
      q[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    q[s->colour] = static_cast<uint8_t>(a);
  }
  return straight;
}

// Output row y, columns left..left + count - 1, every plane of the mode
// (alpha last), or packed bits in bitmap mode, into `out`.
void ResizeStageDeliver(ResizeStage* s, int32_t y, int32_t left, int32_t count, uint8_t* out) {
  const size_t n = static_cast<size_t>(s->channels);
  const uint8_t* row = StraightRow(s, y, left, count);
  if (!s->nearest) {
    ConvertPixels(&s->fromWork, row, count, out);
    return;
  }
  const size_t planes = s->alphaPlane ? 2 : 1;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p = row + static_cast<size_t>(i) * n;
    uint8_t* q = out + static_cast<size_t>(i) * planes;
    const bool clear = s->premultiply && p[s->colour] == 0 && s->transparentIndex >= 0;
    q[0] = clear ? static_cast<uint8_t>(s->transparentIndex) : Nearest(s, p);
    if (s->alphaPlane) q[1] = s->premultiply ? p[s->colour] : 255;
  }
}

// The same pixels as sRGB, 3 bytes each, alpha composited over white: the
// averaged colour before it becomes the mode's planes.
void ResizeStageColour(ResizeStage* s, int32_t y, int32_t left, int32_t count, uint8_t* rgb) {
  DeliverColour(&s->colourRows, s->averaged, s->dstW, StraightRow(s, y, left, count), count, rgb);
}

}  // namespace

bool ServeResizedRows(ResizeStage* stage, const RowSource& source, const RowRequest& q,
                      const ImageInfo& info, const Inversion& inversion, uint8_t* scratch,
                      std::string* error) {
  if (q.top < ResamplerFirstRow(stage->resampler)) {
    if (!ResetResizeStage(stage, error) || !source.rewind(source.context, error)) return false;
  }
  // Rows from `top` on stay, so that a band asked for again needs no restart.
  ResamplerDrop(stage->resampler, q.top);
  const int32_t count = q.right - q.left;
  const bool all = info.mode == kImageModeBitmap || (q.loPlane == 0 && q.hiPlane == info.planes - 1);
  for (int32_t r = q.top; r < q.bottom; ++r) {
    while (ResamplerEndRow(stage->resampler) <= r) {
      const uint8_t* row = nullptr;
      if (!source.next(source.context, &row, error) || !ResizeStagePush(stage, row, error)) return false;
      ResamplerDrop(stage->resampler, q.top);
    }
    if (!ResamplerMake(stage->resampler, r + 1, error)) return false;
    uint8_t* out = q.dest + static_cast<size_t>(r - q.top) * q.stride;
    uint8_t* pixels = all ? out : scratch;
    ResizeStageDeliver(stage, r, q.left, count, pixels);
    if (q.colour != nullptr) {
      ResizeStageColour(stage, r, q.left, count,
                        q.colour->dest + static_cast<size_t>(r - q.top) * static_cast<size_t>(q.colour->rowBytes));
    }
    Invert(inversion, pixels, count);
    if (!all) SelectPlanes(pixels, count, info.planes, q.loPlane, q.hiPlane, out);
  }
  return true;
}
