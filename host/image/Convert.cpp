#include "host/image/Convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

uint8_t Byte(int v) { return static_cast<uint8_t>(v); }

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

uint8_t Luma(const uint8_t* rgb) {
  return Byte((299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2] + 500) / 1000);
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

// Hue 0..255 over 0..360 degrees, from the channel holding the maximum.
uint8_t Hue(int r, int g, int b, int max, int d) {
  if (d == 0) return 0;
  int num;  // hue in units of d, 0 .. 6d
  if (max == r) {
    num = g - b;
    if (num < 0) num += 6 * d;
  } else if (max == g) {
    num = 2 * d + b - r;
  } else {
    num = 4 * d + r - g;
  }
  return Byte((num * 255 + 3 * d) / (6 * d));
}

void ToHsb(const uint8_t* rgb, int32_t count, uint8_t* out, int32_t stride) {
  for (int32_t i = 0; i < count; ++i, rgb += 3, out += stride) {
    int r = rgb[0], g = rgb[1], b = rgb[2];
    int max = std::max(r, std::max(g, b)), min = std::min(r, std::min(g, b));
    int d = max - min;
    out[0] = Hue(r, g, b, max, d);
    out[1] = max == 0 ? 0 : Byte((d * 255 + max / 2) / max);
    out[2] = Byte(max);
  }
}

void ToHsl(const uint8_t* rgb, int32_t count, uint8_t* out, int32_t stride) {
  for (int32_t i = 0; i < count; ++i, rgb += 3, out += stride) {
    int r = rgb[0], g = rgb[1], b = rgb[2];
    int max = std::max(r, std::max(g, b)), min = std::min(r, std::min(g, b));
    int d = max - min, sum = max + min;
    out[0] = Hue(r, g, b, max, d);
    if (d == 0) {
      out[1] = 0;
    } else if (sum <= 255) {
      out[1] = Byte((d * 255 + sum / 2) / sum);
    } else {
      out[1] = Byte((d * 255 + (510 - sum) / 2) / (510 - sum));
    }
    out[2] = Byte((sum + 1) / 2);
  }
}

// The stored colour of each pixel in the work space, alpha composited over
// white (or alpha kept aside); returns where it is.
const uint8_t* Composite(Conversion* c, const uint8_t* in, int32_t count) {
  const bool expand = c->from == StoredSpace::Indexed && c->mode != kImageModeIndexed;
  if (c->from == StoredSpace::Indexed) {
    uint8_t* out = c->work;
    for (int32_t i = 0; i < count; ++i) {
      const uint8_t* entry = c->palette[in[i * c->channels]];
      c->alpha[i] = entry[3];
      if (!expand) {
        out[i] = in[i * c->channels];
        continue;
      }
      for (int k = 0; k < 3; ++k) {
        int v = entry[k];
        if (!c->keepAlpha && entry[3] != 255) v = (v * entry[3] + 255 * (255 - entry[3]) + 127) / 255;
        out[3 * i + k] = Byte(v);
      }
    }
    return out;
  }
  const int cc = c->colourChannels;
  if (c->alphaChannel < 0) {
    if (c->channels == cc) return in;
    for (int32_t i = 0; i < count; ++i) {
      std::memcpy(c->work + i * cc, in + i * c->channels, static_cast<size_t>(cc));
    }
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
      for (int32_t i = 0; i < count; ++i) {
        c->rgb[3 * i] = c->rgb[3 * i + 1] = c->rgb[3 * i + 2] = colour[i];
      }
      return c->rgb;
    case StoredSpace::CMYK:
      CmykToRgb(colour, count, c->rgb);
      return c->rgb;
    default:
      RunColourTransform(c->fromLab, colour, c->rgb, count);
      return c->rgb;
  }
}

}  // namespace

const uint8_t (*QuantisePalette())[3] { return GetQuantiser().palette; }

// Full grey-component replacement on gamma-encoded values: K = 1 - max,
// C = (max - R) / max and so on (the textbook (1 - R - K) / (1 - K)); in the
// host's convention K's byte is max itself and C's is 255 - ink.
void RgbToCmyk(const uint8_t* rgb, int32_t count, uint8_t* cmyk) {
  for (int32_t i = 0; i < count; ++i, rgb += 3, cmyk += 4) {
    const int max = std::max(rgb[0], std::max(rgb[1], rgb[2]));
    for (int k = 0; k < 3; ++k) {
      cmyk[k] = max == 0 ? 255 : Byte(255 - ((max - rgb[k]) * 255 + max / 2) / max);
    }
    cmyk[3] = Byte(max);
  }
}

// R = (1 - C)(1 - K): in the host's convention, C's byte times K's byte.
void CmykToRgb(const uint8_t* cmyk, int32_t count, uint8_t* rgb) {
  for (int32_t i = 0; i < count; ++i, rgb += 3, cmyk += 4) {
    for (int k = 0; k < 3; ++k) rgb[k] = Byte((cmyk[k] * cmyk[3] + 127) / 255);
  }
}

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
  return true;
}

void ConvertPixels(Conversion* c, const uint8_t* in, int32_t count, uint8_t* out) {
  if (c->identity) {
    std::memcpy(out, in, static_cast<size_t>(count) * static_cast<size_t>(c->planes));
    return;
  }
  const StoredSpace work = WorkSpace(*c);
  const uint8_t* colour = Composite(c, in, count);
  // Without an alpha plane the mode's planes go straight to `out`.
  uint8_t* target = c->alphaPlane ? c->target : out;
  const int32_t mp = c->modePlanes;
  switch (c->mode) {
    case kImageModeGray:
    case kImageModeDuotone:
    case kImageModeBitmap: {
      const uint8_t* grey = colour;
      if (work != StoredSpace::Gray) {
        const uint8_t* rgb = AsRgb(c, work, colour, count);
        for (int32_t i = 0; i < count; ++i) c->target[i] = Luma(rgb + 3 * i);
        grey = c->target;
      }
      if (c->mode == kImageModeBitmap) {
        std::memset(out, 0, static_cast<size_t>((count + 7) / 8));
        for (int32_t i = 0; i < count; ++i) {
          if (grey[i] < 128) out[i >> 3] = Byte(out[i >> 3] | (0x80 >> (i & 7)));
        }
        return;
      }
      if (grey != target) std::memcpy(target, grey, static_cast<size_t>(count));
      break;
    }
    case kImageModeRGB: {
      const uint8_t* rgb = AsRgb(c, work, colour, count);
      if (rgb != target) std::memcpy(target, rgb, 3 * static_cast<size_t>(count));
      break;
    }
    case kImageModeCMYK:
      if (work == StoredSpace::CMYK) {
        if (colour != target) std::memcpy(target, colour, 4 * static_cast<size_t>(count));
      } else {
        RgbToCmyk(AsRgb(c, work, colour, count), count, target);
      }
      break;
    case kImageModeLab:
      if (work == StoredSpace::Lab) {
        if (colour != target) std::memcpy(target, colour, 3 * static_cast<size_t>(count));
      } else {
        RunColourTransform(c->toLab, AsRgb(c, work, colour, count), target, count);
      }
      break;
    case kImageModeHSB:
      ToHsb(AsRgb(c, work, colour, count), count, target, 3);
      break;
    case kImageModeHSL:
      ToHsl(AsRgb(c, work, colour, count), count, target, 3);
      break;
    case kImageModeIndexed: {
      if (work == StoredSpace::Gray || work == StoredSpace::Indexed) {
        if (colour != target) std::memcpy(target, colour, static_cast<size_t>(count));
      } else {
        const Quantiser& q = GetQuantiser();
        const uint8_t* rgb = AsRgb(c, work, colour, count);
        for (int32_t i = 0; i < count; ++i) target[i] = Quantise(q, rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
      }
      break;
    }
    default:
      break;
  }
  if (c->alphaPlane) {
    const int32_t planes = c->planes;
    for (int32_t i = 0; i < count; ++i) {
      std::memcpy(out + i * planes, c->target + i * mp, static_cast<size_t>(mp));
      out[i * planes + mp] = c->alpha[i];
    }
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
