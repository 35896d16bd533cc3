// The conversions' fast arithmetic against its plain definition, for every
// input it can meet: every kernel version this processor runs, all 2^24
// colours, every sample and alpha pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/image/stages/Convert.h"

namespace {

int Hue(int r, int g, int b, int max, int d) {
  if (d == 0) return 0;
  int num = max == r ? (g - b + 6 * d) % (6 * d) : max == g ? 2 * d + b - r : 4 * d + r - g;
  return (num * 255 + 3 * d) / (6 * d);
}

// Rounded (num / den) * 255, as saturations and inks use it.
int Scaled(int num, int den) { return den == 0 ? 0 : (num * 255 + den / 2) / den; }

std::string Describe(const char* what, int r, int g, int b, const uint8_t* got, const int* want, int n) {
  std::string text = std::string(what) + " of " + std::to_string(r) + " " + std::to_string(g) + " " +
                     std::to_string(b) + ":";
  for (int k = 0; k < n; ++k) text += " " + std::to_string(got[k]);
  text += ", not";
  for (int k = 0; k < n; ++k) text += " " + std::to_string(want[k]);
  return text;
}

TEST(PixelKernels, EveryColourConvertsExactlyAsDefined) {
  // One red level at a time: 65536 colours.
  // Plain arrays and no helpers in the inner loops, which run 2^24 times
  // in sanitizer builds too.
  std::vector<uint8_t> buffers(15 << 16);
  uint8_t* const rgb = buffers.data();
  uint8_t* const grey = rgb + (3 << 16);
  uint8_t* const hsb = grey + (1 << 16);
  uint8_t* const hsl = hsb + (3 << 16);
  uint8_t* const cmyk = hsl + (3 << 16);
  std::vector<const PixelKernels*> versions;
  for (int k = 0; k < PixelKernelsCount(); ++k) {
    if (PixelKernelsAt(k) != nullptr) versions.push_back(PixelKernelsAt(k));
  }
  ASSERT_FALSE(versions.empty());
  std::string mismatch;
  for (int r = 0; r < 256 && mismatch.empty(); ++r) {
    for (int i = 0; i < 1 << 16; ++i) {
      rgb[3 * i] = static_cast<uint8_t>(r);
      rgb[3 * i + 1] = static_cast<uint8_t>(i >> 8);
      rgb[3 * i + 2] = static_cast<uint8_t>(i);
    }
    RgbToHsb(rgb, 1 << 16, hsb);
    RgbToHsl(rgb, 1 << 16, hsl);
    RgbToCmyk(rgb, 1 << 16, cmyk);
    for (int i = 0; i < 1 << 16 && mismatch.empty(); ++i) {
      const int g = i >> 8, b = i & 255;
      const int gb = g > b ? g : b, max = r > gb ? r : gb;
      const int lgb = g < b ? g : b, min = r < lgb ? r : lgb;
      const int d = max - min, sum = max + min, hue = Hue(r, g, b, max, d);
      const int wantHsb[3] = {hue, Scaled(d, max), max};
      const int wantHsl[3] = {hue, Scaled(d, sum <= 255 ? sum : 510 - sum), (sum + 1) / 2};
      const int wantCmyk[4] = {255 - Scaled(max - r, max), 255 - Scaled(max - g, max), 255 - Scaled(max - b, max), max};
      const uint8_t* gotHsb = hsb + 3 * i;
      const uint8_t* gotHsl = hsl + 3 * i;
      const uint8_t* gotCmyk = cmyk + 4 * i;
      if (gotHsb[0] != wantHsb[0] || gotHsb[1] != wantHsb[1] || gotHsb[2] != wantHsb[2]) {
        mismatch = Describe("HSB", r, g, b, gotHsb, wantHsb, 3);
      } else if (gotHsl[0] != wantHsl[0] || gotHsl[1] != wantHsl[1] || gotHsl[2] != wantHsl[2]) {
        mismatch = Describe("HSL", r, g, b, gotHsl, wantHsl, 3);
      } else if (gotCmyk[0] != wantCmyk[0] || gotCmyk[1] != wantCmyk[1] || gotCmyk[2] != wantCmyk[2] ||
                 gotCmyk[3] != wantCmyk[3]) {
        mismatch = Describe("CMYK", r, g, b, gotCmyk, wantCmyk, 4);
      }
    }
    for (const PixelKernels* v : versions) {
      v->rgbToGray(rgb, 1 << 16, grey);
      for (int i = 0; i < 1 << 16 && mismatch.empty(); ++i) {
        const int want = (299 * r + 587 * (i >> 8) + 114 * (i & 255) + 500) / 1000;
        if (grey[i] != want) mismatch = Describe(v->name, r, i >> 8, i & 255, grey + i, &want, 1);
      }
    }
  }
  EXPECT_EQ(mismatch, "");
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
