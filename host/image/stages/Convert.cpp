#include "host/image/stages/Convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

#define GW_INLINE inline __attribute__((always_inline))

uint8_t Byte(int v) { return static_cast<uint8_t>(v); }

// ---- modes ---------------------------------------------------------------------------

int ColourChannelsOf(StoredSpace space, int32_t channels) {
  switch (space) {
    case StoredSpace::Gray: return 1;
    case StoredSpace::RGB: return 3;
    case StoredSpace::CMYK: return 4;
    case StoredSpace::Lab: return 3;
    case StoredSpace::Indexed: return 1;
    case StoredSpace::Unknown: return channels;
  }
  return channels;
}

int ModePlanes(int16_t mode) {
  switch (mode) {
    case kImageModeRGB:
    case kImageModeLab:
    case kImageModeHSB:
    case kImageModeHSL: return 3;
    case kImageModeCMYK: return 4;
    default: return 1;
  }
}

// The fixed table of quantised images, sorted by luminance, and what finds
// the nearest entry: the nearest cube colour (each channel to the nearest
// multiple of 51) against the nearest grey (to the mean of the channels).
struct Quantiser {
  uint8_t palette[256][3];
  uint8_t cubeIndex[216];   // cube colour (r*36 + g*6 + b) -> table index
  uint8_t greyLevel[46];    // the greys of the table, ascending
  uint8_t greyIndex[46];    // their table indices
  uint8_t nearestGrey[766]; // r + g + b -> position in greyLevel
};

int LumaKey(int r, int g, int b) { return 299 * r + 587 * g + 114 * b; }

Quantiser MakeQuantiser() {
  Quantiser q{};
  int colours[256][3];
  int n = 0;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b) {
        colours[n][0] = 51 * r;
        colours[n][1] = 51 * g;
        colours[n][2] = 51 * b;
        ++n;
      }
  // Eight greys in each step of the cube's grey axis.
  for (int k = 0; k < 5; ++k)
    for (int j = 1; j <= 8; ++j) {
      int v = 51 * k + (51 * j + 4) / 9;
      colours[n][0] = colours[n][1] = colours[n][2] = v;
      ++n;
    }
  int order[256];
  for (int i = 0; i < 256; ++i) order[i] = i;
  std::sort(order, order + 256, [&](int a, int b) {
    int la = LumaKey(colours[a][0], colours[a][1], colours[a][2]);
    int lb = LumaKey(colours[b][0], colours[b][1], colours[b][2]);
    if (la != lb) return la < lb;
    for (int c = 0; c < 3; ++c)
      if (colours[a][c] != colours[b][c]) return colours[a][c] < colours[b][c];
    return false;
  });
  int greys = 0;
  for (int i = 0; i < 256; ++i) {
    const int* c = colours[order[i]];
    for (int ch = 0; ch < 3; ++ch) q.palette[i][ch] = Byte(c[ch]);
    if (order[i] < 216) q.cubeIndex[order[i]] = Byte(i);
    if (c[0] == c[1] && c[1] == c[2]) {
      // Sorted by luminance, so the greys come in ascending order.
      q.greyLevel[greys] = Byte(c[0]);
      q.greyIndex[greys] = Byte(i);
      ++greys;
    }
  }
  for (int s = 0; s <= 765; ++s) {
    int best = 0;
    for (int i = 1; i < greys; ++i) {
      if (std::abs(3 * q.greyLevel[i] - s) < std::abs(3 * q.greyLevel[best] - s)) best = i;
    }
    q.nearestGrey[s] = Byte(best);
  }
  return q;
}

const Quantiser& GetQuantiser() {
  static const Quantiser q = MakeQuantiser();
  return q;
}

uint8_t Quantise(const Quantiser& q, int r, int g, int b) {
  int ri = (r + 25) / 51, gi = (g + 25) / 51, bi = (b + 25) / 51;
  int dr = r - 51 * ri, dg = g - 51 * gi, db = b - 51 * bi;
  int cubeDistance = dr * dr + dg * dg + db * db;
  uint8_t cube = q.cubeIndex[ri * 36 + gi * 6 + bi];
  int grey = q.nearestGrey[r + g + b];
  int v = q.greyLevel[grey];
  int greyDistance = (r - v) * (r - v) + (g - v) * (g - v) + (b - v) * (b - v);
  uint8_t greyEntry = q.greyIndex[grey];
  if (greyDistance < cubeDistance) return greyEntry;
  if (cubeDistance < greyDistance) return cube;
  return std::min(cube, greyEntry);
}

GW_INLINE int Max3(int a, int b, int c) {
  const int bc = b > c ? b : c;
  return a > bc ? a : bc;
}

GW_INLINE int Min3(int a, int b, int c) {
  const int bc = b < c ? b : c;
  return a < bc ? a : bc;
}

// ratio[den][num] = (num * 255 + den / 2) / den for num <= den, and 0 for
// den = 0: saturation in HSB and HSL and the inks of RGB to CMYK all scale a
// difference by a maximum, rounded; a table of 64 KB answers without the
// division.
struct Ratios {
  uint8_t v[256][256];
};

Ratios MakeRatios() {
  Ratios r{};
  for (int den = 1; den < 256; ++den) {
    for (int num = 0; num <= den; ++num) r.v[den][num] = Byte((num * 255 + den / 2) / den);
  }
  return r;
}

const Ratios& GetRatios() {
  static const Ratios r = MakeRatios();
  return r;
}

// Hue as (num * 255 + 3 d) / (6 d), num in 0..6d, d in 1..255: the
// numerator stays below 2^19 and 6 d below 2^11, so a multiplication by
// 2^32 / (6 d), rounded up, and a shift by 32 give the quotient exactly.
struct HueScales {
  uint64_t v[256];
};

HueScales MakeHueScales() {
  HueScales h{};
  for (uint64_t d = 1; d < 256; ++d) h.v[d] = ((uint64_t{1} << 32) + 6 * d - 1) / (6 * d);
  return h;
}

const HueScales& GetHueScales() {
  static const HueScales h = MakeHueScales();
  return h;
}

// Hue 0..255 over 0..360 degrees, from the channel holding the maximum; 0
// for a grey (d = 0, whose scale is 0).
GW_INLINE uint8_t Hue(const HueScales& scales, int r, int g, int b, int max, int d) {
  const int fromRed = g - b + (g < b ? 6 * d : 0);  // in units of d, 0 .. 6d
  const int fromGreen = 2 * d + b - r;
  const int fromBlue = 4 * d + r - g;
  const int num = max == r ? fromRed : max == g ? fromGreen : fromBlue;
  return static_cast<uint8_t>((static_cast<uint64_t>(num * 255 + 3 * d) * scales.v[d]) >> 32);
}

void ToHsb(const uint8_t* rgb, int32_t count, uint8_t* out) {
  const Ratios& ratio = GetRatios();
  const HueScales& scales = GetHueScales();
  for (int32_t i = 0; i < count; ++i, rgb += 3, out += 3) {
    const int r = rgb[0], g = rgb[1], b = rgb[2];
    const int max = Max3(r, g, b), d = max - Min3(r, g, b);
    out[0] = Hue(scales, r, g, b, max, d);
    out[1] = ratio.v[max][d];
    out[2] = Byte(max);
  }
}

// Saturation over the sum of maximum and minimum, or over what is left of
// 510 when that is less; d never exceeds either, and a grey gives 0 either
// way.
void ToHsl(const uint8_t* rgb, int32_t count, uint8_t* out) {
  const Ratios& ratio = GetRatios();
  const HueScales& scales = GetHueScales();
  for (int32_t i = 0; i < count; ++i, rgb += 3, out += 3) {
    const int r = rgb[0], g = rgb[1], b = rgb[2];
    const int max = Max3(r, g, b), min = Min3(r, g, b);
    const int d = max - min, sum = max + min;
    out[0] = Hue(scales, r, g, b, max, d);
    out[1] = ratio.v[sum <= 255 ? sum : 510 - sum][d];
    out[2] = Byte((sum + 1) / 2);
  }
}

// A palette entry's colour as the pixels of that index show it: composited
// over white unless alpha is kept.
void EntryColour(const Conversion& c, int index, uint8_t rgb[3]) {
  const uint8_t* e = c.palette[index];
  for (int k = 0; k < 3; ++k) {
    int v = e[k];
    if (!c.keepAlpha && e[3] != 255) v = (v * e[3] + 255 * (255 - e[3]) + 127) / 255;
    rgb[k] = Byte(v);
  }
}

// The stored colour of each pixel in the work space, alpha composited over
// white (or alpha kept aside); returns where it is. Not for palette
// indices, which go through the entry table.
const uint8_t* Composite(Conversion* c, const uint8_t* in, int32_t count) {
  const int cc = c->colourChannels;
  if (c->alphaChannel < 0) {
    if (c->channels == cc) return in;
    for (int32_t i = 0; i < count; ++i) {
      std::memcpy(c->work + i * cc, in + i * c->channels, static_cast<size_t>(cc));
    }
    return c->work;
  }
  // The usual layout, colour then alpha, over white.
  if (!c->keepAlpha && !c->premultiplied && c->from != StoredSpace::Lab &&
      c->alphaChannel == cc && c->channels == cc + 1 && cc <= 4 &&
      c->kernels->overWhite[cc] != nullptr) {
    c->kernels->overWhite[cc](in, count, c->work);
    return c->work;
  }
  // White in the work space: 255 everywhere but Lab's a and b.
  int white[4] = {255, 255, 255, 255};
  if (c->from == StoredSpace::Lab) white[1] = white[2] = 128;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p = in + i * c->channels;
    uint8_t* out = c->work + i * cc;
    int a = p[c->alphaChannel];
    c->alpha[i] = Byte(a);
    for (int k = 0; k < cc; ++k) {
      int v = p[k];
      if (c->premultiplied) {
        if (c->keepAlpha) {
          v = a == 0 ? 0 : std::min(255, (v * 255 + a / 2) / a);
        } else {
          v = std::min(255, v + (white[k] * (255 - a) + 127) / 255);
        }
      } else if (!c->keepAlpha && a != 255) {
        v = (v * a + white[k] * (255 - a) + 127) / 255;
      }
      out[k] = Byte(v);
    }
  }
  return c->work;
}

StoredSpace WorkSpace(const Conversion& c) {
  return c.from == StoredSpace::Indexed && c.mode != kImageModeIndexed ? StoredSpace::RGB : c.from;
}

// The work-space colour as RGB.
const uint8_t* AsRgb(Conversion* c, StoredSpace work, const uint8_t* colour, int32_t count) {
  switch (work) {
    case StoredSpace::RGB: return colour;
    case StoredSpace::Gray:
      c->kernels->grayToRgb(colour, count, c->rgb);
      return c->rgb;
    case StoredSpace::CMYK:
      c->kernels->cmykToRgb(colour, count, c->rgb);
      return c->rgb;
    default:
      RunColourTransform(c->fromLab, colour, c->rgb, count);
      return c->rgb;
  }
}

// Work-space colour into the mode's planes at `target` (modePlanes bytes a
// pixel; in bitmap mode the grey, a byte a pixel). Returns where they are:
// `target`, or `colour` itself when nothing changes.
const uint8_t* ConvertColour(Conversion* c, StoredSpace work, const uint8_t* colour, int32_t count,
                             uint8_t* target) {
  switch (c->mode) {
    case kImageModeGray:
    case kImageModeDuotone:
    case kImageModeBitmap:
      if (work == StoredSpace::Gray) return colour;
      c->kernels->rgbToGray(AsRgb(c, work, colour, count), count, target);
      return target;
    case kImageModeRGB:
      return AsRgb(c, work, colour, count);
    case kImageModeCMYK:
      if (work == StoredSpace::CMYK) return colour;
      RgbToCmyk(AsRgb(c, work, colour, count), count, target);
      return target;
    case kImageModeLab:
      if (work == StoredSpace::Lab) return colour;
      RunColourTransform(c->toLab, AsRgb(c, work, colour, count), target, count);
      return target;
    case kImageModeHSB:
      ToHsb(AsRgb(c, work, colour, count), count, target);
      return target;
    case kImageModeHSL:
      ToHsl(AsRgb(c, work, colour, count), count, target);
      return target;
    case kImageModeIndexed: {
      if (work == StoredSpace::Gray || work == StoredSpace::Indexed) return colour;
      const Quantiser& q = GetQuantiser();
      const uint8_t* rgb = AsRgb(c, work, colour, count);
      for (int32_t i = 0; i < count; ++i) target[i] = Quantise(q, rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
      return target;
    }
    default:
      return colour;
  }
}

// Greys into bits, 1 = black (below 128), from the top bit of out[0] on.
void PackBits(const uint8_t* grey, int32_t count, uint8_t* out) {
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    unsigned bits = 0;
    for (int k = 0; k < 8; ++k) bits = bits << 1 | (grey[i + k] < 128 ? 1u : 0u);
    out[i >> 3] = static_cast<uint8_t>(bits);
  }
  if (i < count) {
    unsigned bits = 0;
    for (int k = 0; k < 8; ++k) bits = bits << 1 | (i + k < count && grey[i + k] < 128 ? 1u : 0u);
    out[i >> 3] = static_cast<uint8_t>(bits);
  }
}

// Each entry's planes, made once: the table's colours go through the same
// conversion as pixels of that colour would.
void MakeEntryTable(Conversion* c) {
  uint8_t colours[256 * 3];
  uint8_t planes[256 * 4];
  const uint8_t* converted = planes;
  if (c->mode == kImageModeIndexed) {
    for (int i = 0; i < 256; ++i) planes[i] = Byte(i);
  } else {
    for (int i = 0; i < 256; ++i) EntryColour(*c, i, colours + 3 * i);
    converted = ConvertColour(c, StoredSpace::RGB, colours, 256, planes);
  }
  const int32_t mp = c->modePlanes;  // 1 in bitmap mode: the grey
  for (int i = 0; i < 256; ++i) {
    std::memcpy(c->entryPlanes[i], converted + i * mp, static_cast<size_t>(mp));
    if (c->alphaPlane) c->entryPlanes[i][mp] = c->palette[i][3];
  }
  c->lookup = true;
}

template <int kPlanes>
void CopyEntries(const Conversion* c, const uint8_t* in, int32_t count, uint8_t* out) {
  const int32_t step = c->channels;
  for (int32_t i = 0; i < count; ++i) {
    std::memcpy(out + i * kPlanes, c->entryPlanes[in[i * step]], kPlanes);
  }
}

void LookUpEntries(Conversion* c, const uint8_t* in, int32_t count, uint8_t* out) {
  if (c->mode == kImageModeBitmap) {
    CopyEntries<1>(c, in, count, c->target);
    PackBits(c->target, count, out);
    return;
  }
  switch (c->planes) {
    case 1: CopyEntries<1>(c, in, count, out); return;
    case 2: CopyEntries<2>(c, in, count, out); return;
    case 3: CopyEntries<3>(c, in, count, out); return;
    case 4: CopyEntries<4>(c, in, count, out); return;
    default: CopyEntries<5>(c, in, count, out); return;
  }
}

}  // namespace

const uint8_t (*QuantisePalette())[3] { return GetQuantiser().palette; }

// Full grey-component replacement on gamma-encoded values: K = 1 - max,
// C = (max - R) / max and so on (the textbook (1 - R - K) / (1 - K)); in the
// host's convention K's byte is max itself and C's is 255 - ink, where the
// ink is the rounded ratio of max - R to max (255 for black, max = 0).
void RgbToCmyk(const uint8_t* rgb, int32_t count, uint8_t* cmyk) {
  const Ratios& ratio = GetRatios();
  for (int32_t i = 0; i < count; ++i, rgb += 3, cmyk += 4) {
    const int max = Max3(rgb[0], rgb[1], rgb[2]);
    const uint8_t* inks = ratio.v[max];
    for (int k = 0; k < 3; ++k) cmyk[k] = Byte(255 - inks[max - rgb[k]]);
    cmyk[3] = Byte(max);
  }
}

// R = (1 - C)(1 - K): in the host's convention, C's byte times K's byte.
void CmykToRgb(const uint8_t* cmyk, int32_t count, uint8_t* rgb) {
  ChoosePixelKernels().cmykToRgb(cmyk, count, rgb);
}

void RgbToHsb(const uint8_t* rgb, int32_t count, uint8_t* hsb) { ToHsb(rgb, count, hsb); }

void RgbToHsl(const uint8_t* rgb, int32_t count, uint8_t* hsl) { ToHsl(rgb, count, hsl); }

uint8_t QuantiseColour(uint8_t r, uint8_t g, uint8_t b) {
  return Quantise(GetQuantiser(), r, g, b);
}

int16_t OwnMode(const StoredLayout& layout) {
  switch (layout.space) {
    case StoredSpace::Gray: return kImageModeGray;
    case StoredSpace::RGB: return kImageModeRGB;
    case StoredSpace::CMYK: return kImageModeCMYK;
    case StoredSpace::Lab: return kImageModeLab;
    case StoredSpace::Indexed: return kImageModeIndexed;
    case StoredSpace::Unknown: return kImageModeMultichannel;
  }
  return kImageModeMultichannel;
}

bool PrepareConversion(const StoredLayout& layout, int16_t mode, bool keepAlpha,
                       int32_t maxPixels, Conversion* c, std::string* whyNot) {
  *c = Conversion();
  c->kernels = &ChoosePixelKernels();
  c->from = layout.space;
  c->channels = layout.channels;
  c->colourChannels = ColourChannelsOf(layout.space, layout.channels);
  c->alphaChannel = layout.alphaChannel;
  c->premultiplied = layout.alphaPremultiplied;
  std::memcpy(c->palette, layout.palette, sizeof c->palette);
  c->paletteCount = layout.paletteCount;
  if (layout.space == StoredSpace::Indexed) {
    for (int i = 0; i < 256; ++i) c->paletteAlpha = c->paletteAlpha || c->palette[i][3] != 255;
  }
  c->mode = mode;
  c->keepAlpha = keepAlpha;
  if (mode == kImageModeMultichannel) {
    c->planes = c->modePlanes = layout.channels;
    c->identity = true;
    return true;
  }
  if (layout.space == StoredSpace::Unknown) {
    *whyNot = "its " + std::to_string(layout.channels) +
              " channels have no known colour meaning, so it is delivered in multichannel mode only";
    return false;
  }
  c->modePlanes = ModePlanes(mode);
  c->alphaPlane = keepAlpha && mode != kImageModeBitmap &&
                  (layout.alphaChannel >= 0 || c->paletteAlpha);
  c->planes = c->modePlanes + (c->alphaPlane ? 1 : 0);

  const StoredSpace work = WorkSpace(*c);
  const bool sameMode =
      (work == StoredSpace::Gray && (mode == kImageModeGray || mode == kImageModeDuotone)) ||
      (work == StoredSpace::RGB && mode == kImageModeRGB) ||
      (work == StoredSpace::CMYK && mode == kImageModeCMYK) ||
      (work == StoredSpace::Lab && mode == kImageModeLab) ||
      (work == StoredSpace::Indexed && mode == kImageModeIndexed);
  // Bytes pass unchanged only when nothing is expanded, converted or
  // composited.
  if (sameMode && work == layout.space) {
    c->identity = (!c->alphaPlane && c->channels == c->colourChannels &&
                   (c->alphaChannel < 0 || work == StoredSpace::Indexed)) ||
                  (c->alphaPlane && work != StoredSpace::Indexed && !c->premultiplied &&
                   c->alphaChannel == c->colourChannels && c->channels == c->colourChannels + 1);
  }

  // Lab on either side goes through lcms2; everything else is arithmetic.
  const bool fromLab = work == StoredSpace::Lab && mode != kImageModeLab && mode != kImageModeMultichannel;
  const bool toLab = mode == kImageModeLab && work != StoredSpace::Lab;
  if (fromLab) c->fromLab = GetLabTransform(false, whyNot);
  if (toLab) c->toLab = GetLabTransform(true, whyNot);
  if ((fromLab && c->fromLab == nullptr) || (toLab && c->toLab == nullptr)) {
    *whyNot = "Lab conversions are not available: " + *whyNot;
    return false;
  }

  c->capacity = maxPixels;
  size_t n = static_cast<size_t>(maxPixels);
  c->work = static_cast<uint8_t*>(std::malloc(4 * n));
  c->rgb = static_cast<uint8_t*>(std::malloc(3 * n));
  c->target = static_cast<uint8_t*>(std::malloc(4 * n));
  c->alpha = static_cast<uint8_t*>(std::malloc(n));
  if (c->work == nullptr || c->rgb == nullptr || c->target == nullptr || c->alpha == nullptr) {
    FreeConversion(c);
    *whyNot = "out of memory";
    return false;
  }
  if (layout.space == StoredSpace::Indexed && !c->identity) MakeEntryTable(c);
  return true;
}

void ConvertPixels(Conversion* c, const uint8_t* in, int32_t count, uint8_t* out) {
  if (c->identity) {
    std::memcpy(out, in, static_cast<size_t>(count) * static_cast<size_t>(c->planes));
    return;
  }
  if (c->lookup) {
    LookUpEntries(c, in, count, out);
    return;
  }
  const StoredSpace work = WorkSpace(*c);
  const uint8_t* colour = Composite(c, in, count);
  if (c->mode == kImageModeBitmap) {
    PackBits(ConvertColour(c, work, colour, count, c->target), count, out);
    return;
  }
  // Without an alpha plane the mode's planes go straight to `out`.
  uint8_t* target = c->alphaPlane ? c->target : out;
  const uint8_t* planes = ConvertColour(c, work, colour, count, target);
  const int32_t mp = c->modePlanes;
  if (!c->alphaPlane) {
    if (planes != out) std::memcpy(out, planes, static_cast<size_t>(count) * static_cast<size_t>(mp));
    return;
  }
  const int32_t all = c->planes;
  for (int32_t i = 0; i < count; ++i) {
    std::memcpy(out + i * all, planes + i * mp, static_cast<size_t>(mp));
    out[i * all + mp] = c->alpha[i];
  }
}

void FreeConversion(Conversion* c) {
  std::free(c->work);
  std::free(c->rgb);
  std::free(c->target);
  std::free(c->alpha);
  c->work = c->rgb = c->target = c->alpha = nullptr;
  c->capacity = 0;
}

void DeliveredPalette(const Conversion& c, uint8_t palette[256][3], int32_t* count,
                      int32_t* transparentIndex) {
  std::memset(palette, 0, 256 * 3);
  *count = 0;
  *transparentIndex = -1;
  if (c.mode != kImageModeIndexed) return;
  if (c.from == StoredSpace::Indexed) {
    for (int i = 0; i < c.paletteCount; ++i) {
      const uint8_t* e = c.palette[i];
      for (int k = 0; k < 3; ++k) {
        int v = e[k];
        if (!c.keepAlpha && e[3] != 255) v = (v * e[3] + 255 * (255 - e[3]) + 127) / 255;
        palette[i][k] = Byte(v);
      }
      if (e[3] == 0 && *transparentIndex < 0) *transparentIndex = i;
    }
    *count = c.paletteCount;
    return;
  }
  if (c.from == StoredSpace::Gray) {
    for (int i = 0; i < 256; ++i) palette[i][0] = palette[i][1] = palette[i][2] = Byte(i);
  } else {
    std::memcpy(palette, GetQuantiser().palette, 256 * 3);
  }
  *count = 256;
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
