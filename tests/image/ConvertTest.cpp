// The conversions' fast arithmetic against its plain definition, for every
// input it can meet: every kernel version this processor runs, all 2^24
// colours, every sample and alpha pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "host/image/Convert.h"

namespace {

int Hue(int r, int g, int b) {
  const int max = std::max(r, std::max(g, b)), d = max - std::min(r, std::min(g, b));
  if (d == 0) return 0;
  int num = max == r ? (g - b + 6 * d) % (6 * d) : max == g ? 2 * d + b - r : 4 * d + r - g;
  return (num * 255 + 3 * d) / (6 * d);
}

// Rounded (num / den) * 255, as saturations and inks use it.
int Scaled(int num, int den) { return den == 0 ? 0 : (num * 255 + den / 2) / den; }

// The first colour whose conversion differs, as "r g b: got x, want y".
struct Mismatch {
  std::string what;
  void Check(const char* name, int r, int g, int b, int got, int want) {
    if (got == want || !what.empty()) return;
    char text[96];
    std::snprintf(text, sizeof text, "%s of %d %d %d: %d, not %d", name, r, g, b, got, want);
    what = text;
  }
};

TEST(PixelKernels, EveryColourConvertsExactlyAsDefined) {
  // One red level at a time: 65536 colours.
  std::vector<uint8_t> rgb(3 << 16), grey(1 << 16), hsb(3 << 16), hsl(3 << 16), cmyk(4 << 16);
  std::vector<const PixelKernels*> versions;
  for (int k = 0; k < PixelKernelsCount(); ++k) {
    if (PixelKernelsAt(k) != nullptr) versions.push_back(PixelKernelsAt(k));
  }
  ASSERT_FALSE(versions.empty());
  Mismatch m;
  for (int r = 0; r < 256 && m.what.empty(); ++r) {
    for (int i = 0; i < 1 << 16; ++i) {
      rgb[3 * i] = static_cast<uint8_t>(r);
      rgb[3 * i + 1] = static_cast<uint8_t>(i >> 8);
      rgb[3 * i + 2] = static_cast<uint8_t>(i);
    }
    RgbToHsb(rgb.data(), 1 << 16, hsb.data());
    RgbToHsl(rgb.data(), 1 << 16, hsl.data());
    RgbToCmyk(rgb.data(), 1 << 16, cmyk.data());
    for (int i = 0; i < 1 << 16; ++i) {
      const int g = i >> 8, b = i & 255;
      const int max = std::max(r, std::max(g, b)), min = std::min(r, std::min(g, b));
      const int sum = max + min;
      m.Check("hue", r, g, b, hsb[3 * i], Hue(r, g, b));
      m.Check("HSB saturation", r, g, b, hsb[3 * i + 1], Scaled(max - min, max));
      m.Check("brightness", r, g, b, hsb[3 * i + 2], max);
      m.Check("HSL hue", r, g, b, hsl[3 * i], Hue(r, g, b));
      m.Check("HSL saturation", r, g, b, hsl[3 * i + 1], Scaled(max - min, sum <= 255 ? sum : 510 - sum));
      m.Check("lightness", r, g, b, hsl[3 * i + 2], (sum + 1) / 2);
      const int rgbValues[3] = {r, g, b};
      for (int k = 0; k < 3; ++k) m.Check("ink", r, g, b, cmyk[4 * i + k], 255 - Scaled(max - rgbValues[k], max));
      m.Check("black", r, g, b, cmyk[4 * i + 3], max);
    }
    for (const PixelKernels* v : versions) {
      v->rgbToGray(rgb.data(), 1 << 16, grey.data());
      for (int i = 0; i < 1 << 16; ++i) {
        const int g = i >> 8, b = i & 255;
        m.Check(v->name, r, g, b, grey[i], (299 * r + 587 * g + 114 * b + 500) / 1000);
      }
    }
  }
  EXPECT_EQ(m.what, "");
}

TEST(PixelKernels, InksAndAlphaOverWhiteForEveryPairOfBytes) {
  // Every (sample, ink or alpha) pair, with the sample in each position.
  std::vector<uint8_t> in(5 << 16), out(4 << 16), grey(256), rgb(3 * 256);
  for (int i = 0; i < 1 << 16; ++i) {
    const int v = i >> 8, a = i & 255;
    for (int k = 0; k < 4; ++k) in[4 * i + k] = static_cast<uint8_t>((v + 85 * k) & 255);
    in[4 * i + 3] = static_cast<uint8_t>(a);
  }
  for (int k = 0; k < PixelKernelsCount(); ++k) {
    const PixelKernels* v = PixelKernelsAt(k);
    if (v == nullptr) continue;
    SCOPED_TRACE(v->name);
    v->cmykToRgb(in.data(), 1 << 16, out.data());
    for (int i = 0; i < 1 << 16; ++i) {
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(out[3 * i + c], (in[4 * i + c] * in[4 * i + 3] + 127) / 255) << "pixel " << i << " plane " << c;
      }
    }
    for (int colours : {1, 3, 4}) {
      std::vector<uint8_t> pixels;
      for (int i = 0; i < 1 << 16; ++i) {
        for (int c = 0; c < colours; ++c) pixels.push_back(static_cast<uint8_t>(((i >> 8) + 85 * c) & 255));
        pixels.push_back(static_cast<uint8_t>(i & 255));
      }
      ASSERT_NE(v->overWhite[colours], nullptr);
      v->overWhite[colours](pixels.data(), 1 << 16, out.data());
      for (int i = 0; i < 1 << 16; ++i) {
        const int a = i & 255;
        for (int c = 0; c < colours; ++c) {
          const int s = pixels[static_cast<size_t>(i * (colours + 1) + c)];
          ASSERT_EQ(out[static_cast<size_t>(i * colours + c)], (s * a + 255 * (255 - a) + 127) / 255)
              << colours << " colours, pixel " << i << " plane " << c;
        }
      }
    }
    for (int i = 0; i < 256; ++i) grey[i] = static_cast<uint8_t>(i);
    v->grayToRgb(grey.data(), 256, rgb.data());
    for (int i = 0; i < 3 * 256; ++i) ASSERT_EQ(rgb[i], i / 3);
  }
}

}  // namespace
