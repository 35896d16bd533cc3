// Resized images: the resampler against a reference Lanczos filter and at
// the extremes of size, the exact box before it, flat images, bands against
// whole reads, the JPEG decoder's own shrinking,
// averaging in colour before the mode, colour rows beside the mode's, and
// what cannot be resized.
#include <gtest/gtest.h>

#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>

#include "Encoders.h"
#include "ImageTestSupport.h"
#include "host/image/stages/Resample.h"

namespace {

// Opens `bytes`, resizes to w x h and reads it all in bands of `band` rows
// (0: one request).
std::vector<uint8_t> Resized(const std::string& bytes, const ImageOptions& options, int32_t w,
                             int32_t h, ImageInfo* info, int32_t band = 0) {
  std::string error;
  ImageFile* image = OpenBytes(bytes, "resized", options, info, &error);
  EXPECT_NE(image, nullptr) << error;
  if (image == nullptr) return {};
  EXPECT_TRUE(ResizeImage(image, w, h, info, &error)) << error;
  std::vector<uint8_t> out = ReadAllRows(image, *info, &error, band);
  EXPECT_FALSE(out.empty()) << error;
  CloseImage(image);
  return out;
}

std::vector<uint8_t> Smooth(int w, int h, int channels) {
  std::vector<uint8_t> p;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) p.push_back(static_cast<uint8_t>((x * 7 + y * 3 + c * 50 + (x * y) % 13) & 255));
  return p;
}

std::string Ppm(int w, int h, const std::vector<uint8_t>& rgb) {
  return Pnm("P6 " + std::to_string(w) + " " + std::to_string(h) + " 255\n", rgb);
}

// Every row of `in` (w x h pixels of `channels` bytes) through a resampler
// to dw x dh, the rows it makes collected and dropped as they come.
std::vector<uint8_t> Resample(const std::vector<uint8_t>& in, int32_t w, int32_t h, int32_t dw,
                              int32_t dh, int32_t channels) {
  std::string error;
  Resampler* r = NewResampler(w, h, dw, dh, channels, nullptr, &error);
  EXPECT_NE(r, nullptr) << error;
  if (r == nullptr) return {};
  std::vector<uint8_t> out;
  const size_t row = static_cast<size_t>(w) * static_cast<size_t>(channels);
  const size_t made = static_cast<size_t>(dw) * static_cast<size_t>(channels);
  for (int32_t y = 0; y < h; ++y) {
    if (!ResamplerPush(r, in.data() + static_cast<size_t>(y) * row, &error) ||
        !ResamplerMake(r, ResamplerEndRow(r), &error)) {
      ADD_FAILURE() << "row " << y << ": " << error;
      break;
    }
    for (int32_t k = ResamplerFirstRow(r); k < ResamplerEndRow(r); ++k)
      out.insert(out.end(), ResamplerRow(r, k), ResamplerRow(r, k) + made);
    ResamplerDrop(r, ResamplerEndRow(r));
  }
  FreeResampler(r);
  return out;
}

// Lanczos 3 in double precision, stretched by the shrinking factor and
// mirrored at the edges: weights[i][j] of source pixel j in output pixel i.
std::vector<std::vector<double>> LanczosWeights(int32_t from, int32_t to) {
  const double scale = static_cast<double>(from) / to, stretch = std::max(scale, 1.0);
  std::vector<std::vector<double>> weights(static_cast<size_t>(to),
                                           std::vector<double>(static_cast<size_t>(from)));
  for (int32_t i = 0; i < to; ++i) {
    const double centre = (i + 0.5) * scale - 0.5;
    double sum = 0;
    for (int32_t j = static_cast<int32_t>(std::floor(centre - 3 * stretch));
         j <= centre + 3 * stretch; ++j) {
      const double x = (j - centre) / stretch;
      if (std::fabs(x) >= 3) continue;
      const double v =
          x == 0 ? 1 : 3 * std::sin(M_PI * x) * std::sin(M_PI * x / 3) / (M_PI * M_PI * x * x);
      int32_t m = ((j % (2 * from)) + 2 * from) % (2 * from);
      if (m >= from) m = 2 * from - 1 - m;
      weights[static_cast<size_t>(i)][static_cast<size_t>(m)] += v;
      sum += v;
    }
    for (double& v : weights[static_cast<size_t>(i)]) v /= sum;
  }
  return weights;
}

TEST(Resampling, MatchesALanczosReferenceAtEveryRatioAndChannelCount) {
  const int32_t cases[][5] = {
      {53, 41, 17, 29, 3},    // down across, up down
      {10, 10, 100, 97, 1},   // ten times, in several bands
      {290, 200, 37, 29, 2},  // just short of the box
      {7, 5, 64, 3, 5},       // CMYK and alpha
      {64, 64, 9, 9, 4},     {200, 3, 201, 40, 1},
      {60, 300, 60, 40, 3},                         // one side as it was; a last short batch
      {97, 101, 96, 102, 1}, {30, 40, 45, 600, 1},  // tall: many bands from few rows
  };
  for (const auto& c : cases) {
    const int32_t w = c[0], h = c[1], dw = c[2], dh = c[3], channels = c[4];
    std::vector<uint8_t> in;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int32_t k = 0; k < channels; ++k)
          in.push_back(
              static_cast<uint8_t>(128 + 80 * std::sin(x * 0.37 + k) * std::cos(y * 0.23 - k)));
    const std::vector<uint8_t> out = Resample(in, w, h, dw, dh, channels);
    ASSERT_EQ(out.size(),
              static_cast<size_t>(dw) * static_cast<size_t>(dh) * static_cast<size_t>(channels))
        << w << " x " << h << " -> " << dw << " x " << dh;
    const auto across = LanczosWeights(w, dw), down = LanczosWeights(h, dh);
    int worst = 0;
    for (int32_t k = 0; k < channels; ++k) {
      // Across every source row, then down.
      std::vector<double> rows(static_cast<size_t>(h) * static_cast<size_t>(dw));
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < dw; ++x)
          for (int32_t j = 0; j < w; ++j)
            rows[static_cast<size_t>(y * dw + x)] +=
                across[static_cast<size_t>(x)][static_cast<size_t>(j)] *
                in[static_cast<size_t>((y * w + j) * channels + k)];
      for (int32_t y = 0; y < dh; ++y)
        for (int32_t x = 0; x < dw; ++x) {
          double v = 0;
          for (int32_t j = 0; j < h; ++j)
            v += down[static_cast<size_t>(y)][static_cast<size_t>(j)] *
                 rows[static_cast<size_t>(j * dw + x)];
          const int expected = static_cast<int>(std::lround(std::min(255.0, std::max(0.0, v))));
          worst = std::max(
              worst, std::abs(expected - out[static_cast<size_t>((y * dw + x) * channels + k)]));
        }
    }
    EXPECT_LE(worst, 2) << w << " x " << h << " -> " << dw << " x " << dh << ", " << channels
                        << " channels";
  }
}

TEST(Resampling, EverySizeTheInterfaceAllowsGoesToEveryOther) {
  // From one pixel to 32767 and back, tiny and huge ratios each way, a
  // different level in each channel: all rows made, every level kept.
  const int32_t cases[][4] = {
      {1, 1, 32767, 1}, {1, 1, 1, 32767}, {32767, 1, 1, 1},     {1, 32767, 1, 1},   {2, 2, 8000, 3},
      {3, 2, 32767, 5}, {32767, 5, 3, 2}, {1, 32767, 32767, 1}, {32767, 3, 1, 999}, {2, 1, 3, 1}};
  const uint8_t levels[3] = {10, 128, 250};
  for (const auto& c : cases) {
    std::vector<uint8_t> in;
    for (int64_t i = 0; i < static_cast<int64_t>(c[0]) * c[1]; ++i)
      in.insert(in.end(), levels, levels + 3);
    const std::vector<uint8_t> out = Resample(in, c[0], c[1], c[2], c[3], 3);
    std::vector<uint8_t> expected;
    for (int64_t i = 0; i < static_cast<int64_t>(c[2]) * c[3]; ++i)
      expected.insert(expected.end(), levels, levels + 3);
    EXPECT_TRUE(out == expected) << c[0] << " x " << c[1] << " -> " << c[2] << " x " << c[3] << ": "
                                 << out.size() / 3 << " pixels made";
  }
}

// What a resampler holds, counted, with a limit and a stop.
struct CountingBudget {
  uint64_t held = 0, most = 0, limit = UINT64_MAX;
  bool stop = false;
  ResamplerBudget calls{this, Charge, Release, Stopped};
  static CountingBudget* Of(const void* context) {
    return static_cast<CountingBudget*>(const_cast<void*>(context));
  }
  static bool Charge(const void* context, uint64_t bytes, std::string* error) {
    CountingBudget* b = Of(context);
    if (bytes > b->limit - b->held) {
      *error = "over the limit";
      return false;
    }
    b->held += bytes;
    b->most = std::max(b->most, b->held);
    return true;
  }
  static void Release(const void* context, uint64_t bytes) { Of(context)->held -= bytes; }
  static bool Stopped(const void* context, std::string* error) {
    if (Of(context)->stop) *error = "stopped";
    return Of(context)->stop;
  }
};

TEST(Resampling, RowsAreMadeAsTheyAreAskedForWithinWhatIsCharged) {
  // One pixel to 32767 x 600: its only row is the source of every band, and
  // every band made at once would hold 59 MB.
  CountingBudget budget;
  std::string error;
  Resampler* r = NewResampler(1, 1, 32767, 600, 3, &budget.calls, &error);
  ASSERT_NE(r, nullptr) << error;
  const uint8_t pixel[3] = {10, 128, 250};
  ASSERT_TRUE(ResamplerPush(r, pixel, &error)) << error;
  ASSERT_EQ(ResamplerEndRow(r), 600);
  int64_t wrong = 0;
  for (int32_t top = 0; top < 400; top += 16) {
    ASSERT_TRUE(ResamplerMake(r, top + 16, &error)) << error;
    for (int32_t y = top; y < top + 16; ++y)
      for (int32_t i = 0; i < 32767 * 3; ++i) wrong += ResamplerRow(r, y)[i] != pixel[i % 3];
    ResamplerDrop(r, top + 16);
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(budget.most, 0u);
  EXPECT_LT(budget.most, 16u << 20);
  // A stop is seen before the next band.
  budget.stop = true;
  EXPECT_FALSE(ResamplerMake(r, 600, &error));
  EXPECT_EQ(error, "stopped");
  FreeResampler(r);
  EXPECT_EQ(budget.held, 0u);

  // A refused charge refuses the rows, and leaves nothing charged.
  CountingBudget small;
  small.limit = 1 << 20;
  r = NewResampler(1, 1, 32767, 600, 3, &small.calls, &error);
  EXPECT_FALSE(ResamplerPush(r, pixel, &error));
  EXPECT_EQ(error, "over the limit");
  FreeResampler(r);
  EXPECT_EQ(small.held, 0u);
}

TEST(Resampling, RowsSkippedOverAreNeverMadeAndTheRestAreAsInAWholeRead) {
  // Enough source rows that the ring turns over while the rows skipped
  // over would still need them.
  const int32_t w = 40, h = 300, dw = 50, dh = 900;
  std::vector<uint8_t> in = Smooth(w, h, 1);
  const std::vector<uint8_t> whole = Resample(in, w, h, dw, dh, 1);
  ASSERT_EQ(whole.size(), static_cast<size_t>(dw * dh));
  std::string error;
  Resampler* r = NewResampler(w, h, dw, dh, 1, nullptr, &error);
  ASSERT_NE(r, nullptr) << error;
  int32_t pushed = 0;
  for (const auto& read : {std::make_pair(0, 50), std::make_pair(45, 60), std::make_pair(610, 650),
                           std::make_pair(651, 652), std::make_pair(899, 900)}) {
    ResamplerDrop(r, read.first);
    while (ResamplerEndRow(r) < read.second) {
      ASSERT_TRUE(ResamplerPush(r, in.data() + static_cast<size_t>(pushed++) * w, &error)) << error;
    }
    ASSERT_TRUE(ResamplerMake(r, read.second, &error)) << read.first << ": " << error;
    for (int32_t y = read.first; y < read.second; ++y) {
      EXPECT_TRUE(std::equal(ResamplerRow(r, y), ResamplerRow(r, y) + dw, whole.begin() + y * dw)) << y;
    }
  }
  FreeResampler(r);
}

TEST(Resampling, ALargeFactorIsFirstAnExactBoxAverage) {
  // A checker averages to 127.5 over any block of an even number of pixels
  // (the box's blocks are 12 x 12 here, 3 or 4 wide at the right edge):
  // rounded, a flat 128 that the filter keeps.
  const int32_t cases[][4] = {{1000, 1000, 20, 20}, {999, 1000, 20, 20}, {1000, 600, 20, 10}};
  for (const auto& c : cases) {
    std::vector<uint8_t> checker;
    for (int32_t y = 0; y < c[1]; ++y)
      for (int32_t x = 0; x < c[0]; ++x) checker.push_back((x + y) % 2 != 0 ? 255 : 0);
    EXPECT_EQ(Resample(checker, c[0], c[1], c[2], c[3], 1),
              std::vector<uint8_t>(static_cast<size_t>(c[2] * c[3]), 128))
        << c[0] << " x " << c[1] << " -> " << c[2] << " x " << c[3];
  }
}

TEST(Resampling, FlatImagesStayExactlyFlatAtEveryScale) {
  const int32_t sizes[][4] = {{997, 613, 37, 21}, {300, 2, 7, 1}, {50, 40, 113, 97}, {3, 2, 400, 5}, {1, 1, 9, 4}};
  for (int level : {0, 1, 77, 128, 254, 255}) {
    for (const auto& s : sizes) {
      ImageInfo info;
      const std::string pgm = Pnm("P5 " + std::to_string(s[0]) + " " + std::to_string(s[1]) + " 255\n",
                                  std::vector<uint8_t>(static_cast<size_t>(s[0] * s[1]), static_cast<uint8_t>(level)));
      const std::vector<uint8_t> out = Resized(pgm, ImageOptions(), s[2], s[3], &info);
      EXPECT_EQ(out, std::vector<uint8_t>(static_cast<size_t>(s[2] * s[3]), static_cast<uint8_t>(level)))
          << level << ": " << s[0] << " x " << s[1] << " -> " << s[2] << " x " << s[3];
    }
  }
}

TEST(Resampling, StripesAverageInsteadOfAliasing) {
  // One-pixel columns, one white in every `period`, shrunk by factors that
  // are no integer: below what the box takes down first, and beyond it.
  const int cases[][2] = {{2, 150}, {2, 11}, {3, 150}, {3, 120}, {3, 93}};
  ImageInfo info;
  for (const auto& c : cases) {
    const int period = c[0], w = c[1];
    std::vector<uint8_t> stripes;
    for (int i = 0; i < 1000 * 60; ++i)
      stripes.push_back(i % 1000 % period == period - 1 ? 255 : 0);
    const std::vector<uint8_t> out =
        Resized(Pnm("P5 1000 60 255\n", stripes), ImageOptions(), w, 5, &info);
    ASSERT_FALSE(out.empty());
    // Inside: at the edges the filter meets the stripes from one side only.
    int worst = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      const size_t x = i % static_cast<size_t>(w);
      if (x == 0 || x + 1 == static_cast<size_t>(w)) continue;
      worst = std::max(worst, std::abs(out[i] * period - 255));
    }
    EXPECT_LE(worst, 6 * period) << "1 in " << period << " to " << w << " columns";
  }
}

TEST(Resampling, BandsRectanglesAndGoingBackMatchOneWholeRequest) {
  const std::vector<uint8_t> rgb = Smooth(301, 207, 3);
  ImageInfo info;
  std::string error;
  for (int16_t mode : {kImageModeRGB, kImageModeCMYK, kImageModeBitmap}) {
    const std::vector<uint8_t> whole = Resized(Ppm(301, 207, rgb), Mode(mode), 23, 31, &info);
    ImageFile* image = OpenBytes(Ppm(301, 207, rgb), "t.ppm", Mode(mode), &info, &error);
    ASSERT_TRUE(ResizeImage(image, 23, 31, &info, &error)) << error;
    EXPECT_EQ(ReadAllRows(image, info, &error, 1), whole) << mode;
    EXPECT_EQ(ReadAllRows(image, info, &error, 7), whole) << mode;  // from the top again
    if (mode == kImageModeCMYK) {
      // The same band twice, then rows 10..11, columns 5..7, planes 1..2.
      std::vector<uint8_t> part(2 * 6);
      ASSERT_TRUE(ReadImageRows(image, 10, 12, 5, 8, 1, 2, part.data(), 6, &error)) << error;
      ASSERT_TRUE(ReadImageRows(image, 10, 12, 5, 8, 1, 2, part.data(), 6, &error)) << error;
      for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
          for (int p = 0; p < 2; ++p) EXPECT_EQ(part[r * 6 + c * 2 + p], whole[((10 + r) * 23 + 5 + c) * 4 + 1 + p]);
    }
    CloseImage(image);
  }
}

TEST(Resampling, JpegIsShrunkByItsDecoderAndComesOutAtTheAskedSize) {
  const std::vector<uint8_t> rgb = Smooth(64, 48, 3);
  const std::string jpeg = EncodeJpeg(64, 48, 3, rgb);
  const std::string png = EncodePng(64, 48, PNG_COLOR_TYPE_RGB, rgb);
  const int32_t cases[][3] = {{8, 6, 8}, {16, 12, 4}, {15, 11, 4}, {20, 15, 2}, {40, 30, 1}};
  for (const auto& c : cases) {
    ImageInfo info;
    const std::vector<uint8_t> out = Resized(jpeg, ImageOptions(), c[0], c[1], &info, 5);
    EXPECT_EQ(info.decoderScale, c[2]) << c[0];
    EXPECT_EQ(info.width, c[0]);
    EXPECT_EQ(info.height, c[1]);
    ASSERT_EQ(out.size(), static_cast<size_t>(c[0] * c[1] * 3));
    // Close to the same pixels resampled from their full size (the JPEG is
    // near lossless; the DCT's shrinking is its own filter).
    const std::vector<uint8_t> full = Resized(png, ImageOptions(), c[0], c[1], &info);
    double squares = 0;
    for (size_t i = 0; i < out.size(); ++i) squares += (out[i] - full[i]) * (out[i] - full[i]);
    EXPECT_LT(std::sqrt(squares / static_cast<double>(out.size())), 12.0) << c[0];
  }
  // Turned by its EXIF orientation: the oriented size decides.
  JpegOptions turned;
  turned.exif = ExifOrientationBlock(6);
  ImageInfo info;
  Resized(EncodeJpeg(64, 48, 3, rgb, turned), ImageOptions(), 6, 8, &info);
  EXPECT_EQ(info.decoderScale, 8);
  EXPECT_EQ(info.width, 6);
}

TEST(Resampling, ColourIsAveragedBeforeTheMode) {
  // Left half red, right half blue: one pixel of purple. Hue of the
  // average, not the average of hues (which would be green).
  std::vector<uint8_t> halves;
  for (int x = 0; x < 8; ++x) {
    const uint8_t px[3] = {static_cast<uint8_t>(x < 4 ? 255 : 0), 0, static_cast<uint8_t>(x < 4 ? 0 : 255)};
    halves.insert(halves.end(), px, px + 3);
  }
  ImageInfo info;
  const std::vector<uint8_t> rgb = Resized(Ppm(8, 1, halves), Mode(kImageModeRGB), 1, 1, &info);
  ASSERT_EQ(rgb.size(), 3u);
  EXPECT_NEAR(rgb[0], 128, 1);
  EXPECT_NEAR(rgb[2], 128, 1);
  std::string error;
  EXPECT_EQ(Resized(Ppm(8, 1, halves), Mode(kImageModeHSB), 1, 1, &info),
            DecodeBytes(Ppm(1, 1, rgb), Mode(kImageModeHSB), &info, &error));
  // Kept alpha: a transparent half lends the average none of its colour.
  const std::string pam = Pnm("P7\nWIDTH 8\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                              {255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255,
                               0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0});
  const std::vector<uint8_t> kept = Resized(pam, Mode(kImageModeRGB, true), 1, 1, &info);
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[0], 255);
  EXPECT_NEAR(kept[1], 0, 3);
  EXPECT_NEAR(kept[3], 128, 1);
  // Bitmap thresholds the average: 60% white is white, 60% black is black.
  std::vector<uint8_t> grey(10, 0);
  for (int i = 4; i < 10; ++i) grey[i] = 255;
  EXPECT_EQ(Resized(Pnm("P5 10 1 255\n", grey), Mode(kImageModeBitmap), 1, 1, &info), std::vector<uint8_t>{0x00});
  for (uint8_t& v : grey) v = static_cast<uint8_t>(255 - v);
  EXPECT_EQ(Resized(Pnm("P5 10 1 255\n", grey), Mode(kImageModeBitmap), 1, 1, &info), std::vector<uint8_t>{0x80});
}

TEST(Resampling, PaletteImagesOpenAsColourAndResizeToTheirOwnTable) {
  // A colour table: RGB by default, its own indices when asked.
  const std::vector<uint8_t> palette = {0, 0, 0, 255, 0, 0, 250, 250, 250};
  std::vector<uint8_t> indices(16 * 4);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = i % 16 < 8 ? 1 : 2;
  const std::string gif = EncodeGif(16, 4, palette, indices);
  ImageInfo info;
  std::string error;
  EXPECT_EQ(DecodeBytes(gif, ImageOptions(), &info, &error).size(), 16u * 4 * 3);
  EXPECT_EQ(info.mode, kImageModeRGB);
  EXPECT_EQ(info.ownMode, kImageModeRGB);
  // Shrunk in indexed mode: every pixel the nearest entry, never a blend
  // from outside the table; the halves stay red and near-white.
  const std::vector<uint8_t> small = Resized(gif, Mode(kImageModeIndexed), 4, 2, &info);
  EXPECT_EQ(small, (std::vector<uint8_t>{1, 1, 2, 2, 1, 1, 2, 2}));
  EXPECT_EQ(info.paletteCount, 4);  // giflib's table: a power of two
  // A flat area keeps its own entry, even when another entry (here giflib's
  // black padding) has the same colour.
  const std::string black = EncodeGif(8, 8, {255, 255, 255, 0, 0, 0, 255, 0, 0}, std::vector<uint8_t>(64, 1));
  EXPECT_EQ(Resized(black, Mode(kImageModeIndexed), 3, 3, &info), std::vector<uint8_t>(9, 1));

  // A grey table (its transparent entry's colour does not count) opens as gray.
  GifOptions clear;
  clear.transparent = 1;
  EXPECT_EQ(DecodeBytes(EncodeGif(16, 4, palette, indices, clear), ImageOptions(), &info, &error)[0], 255);
  EXPECT_EQ(info.mode, kImageModeGray);
  PngOptions greys;
  greys.palette = {0, 0, 0, 128, 128, 128};
  EXPECT_EQ(DecodeBytes(EncodePng(2, 1, PNG_COLOR_TYPE_PALETTE, {0, 1}, greys), ImageOptions(), &info, &error),
            (std::vector<uint8_t>{0, 128}));
  EXPECT_EQ(info.mode, kImageModeGray);
}

TEST(Resampling, TranslucentColourKeepsItsLevelAndClearIsTheWhiteOfItsSpace) {
  // Column a at alpha a, flat down, so that shortening it leaves each column
  // to itself. Weighted by alpha, a level is rounded to half a step, which
  // is 127.5 / a steps once alpha is divided out again, and the result to
  // half its own; where nothing shows, the colour is the space's white.
  const auto level = [](int a, int k) { return (a * 37 + k * 85 + 11) % 256; };
  std::vector<uint8_t> rgba, lab;
  for (int y = 0; y < 4; ++y) {
    for (int a = 0; a < 256; ++a) {
      for (int k = 0; k < 3; ++k) {
        rgba.push_back(static_cast<uint8_t>(level(a, k)));
        lab.push_back(static_cast<uint8_t>(k == 0 ? level(a, k) : level(a, k) - 128));  // a and b signed
      }
      rgba.push_back(static_cast<uint8_t>(a));
      lab.push_back(static_cast<uint8_t>(a));
    }
  }
  TiffOptions labAlpha;
  labAlpha.photometric = PHOTOMETRIC_CIELAB;
  labAlpha.extraSamples = {EXTRASAMPLE_UNASSALPHA};
  const struct {
    const char* what;
    std::string file;
    int16_t mode;
    int white[3];
  } cases[] = {
      {"RGB", Pnm("P7\nWIDTH 256\nHEIGHT 4\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", rgba),
       kImageModeRGB, {255, 255, 255}},
      {"Lab", EncodeTiff(256, 4, 4, lab, labAlpha), kImageModeLab, {255, 128, 128}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ImageInfo info;
    const std::vector<uint8_t> out = Resized(c.file, Mode(c.mode, true), 256, 2, &info);
    ASSERT_EQ(out.size(), 256u * 2 * 4);
    int wrong = 0;
    std::string first;
    for (size_t i = 0; i < out.size(); i += 4) {
      const int a = static_cast<int>(i / 4 % 256);
      for (int k = 0; k < 4; ++k) {
        const int got = out[i + static_cast<size_t>(k)];
        const bool right = k == 3   ? got == a
                           : a == 0 ? got == c.white[k]
                                    : std::abs(got - level(a, k)) <= 127.5 / a + 0.5;
        if (right) continue;
        if (wrong++ == 0) first = "alpha " + std::to_string(a) + ", channel " + std::to_string(k) + ": " + std::to_string(got);
      }
    }
    EXPECT_EQ(wrong, 0) << "first " << first;
  }
}

// Reads the whole image in bands of 5 rows with colour rows beside them:
// the delivered bytes, and the colour into `colour`.
std::vector<uint8_t> ReadWithColour(ImageFile* image, const ImageInfo& info, std::vector<uint8_t>* colour) {
  const int32_t rowBytes = info.width * info.planes;
  std::vector<uint8_t> out(static_cast<size_t>(rowBytes) * static_cast<size_t>(info.height));
  colour->assign(static_cast<size_t>(info.width) * 3 * static_cast<size_t>(info.height), 0);
  std::string error;
  for (int32_t top = 0; top < info.height; top += 5) {
    const int32_t bottom = std::min(top + 5, info.height);
    ColourRows rows;
    rows.dest = colour->data() + static_cast<size_t>(top) * static_cast<size_t>(info.width) * 3;
    rows.rowBytes = info.width * 3;
    EXPECT_TRUE(ReadImageRows(image, top, bottom, 0, info.width, 0, info.planes - 1,
                              out.data() + static_cast<size_t>(top) * static_cast<size_t>(rowBytes), rowBytes,
                              &error, &rows))
        << error;
  }
  return out;
}

TEST(Resampling, ColourRowsAreTheSizedColourWhateverTheModeAndInversion) {
  const std::vector<uint8_t> rgb = Smooth(64, 48, 3);
  std::vector<uint8_t> rgba;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgba.insert(rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], static_cast<uint8_t>(i % 251)});
  }
  JpegOptions turned;
  turned.exif = ExifOrientationBlock(6);
  struct Case {
    const char* what;
    std::string file;
    int32_t width, height;  // 0: its own size
  } cases[] = {
      // A YCbCr JPEG in gray mode would otherwise be decoded as its luma.
      {"JPEG shrunk by its decoder", EncodeJpeg(64, 48, 3, rgb), 20, 15},
      {"PNG with alpha, resampled", EncodePng(64, 48, PNG_COLOR_TYPE_RGBA, rgba), 23, 17},
      {"PNG with alpha, its own size", EncodePng(64, 48, PNG_COLOR_TYPE_RGBA, rgba), 0, 0},
      {"JPEG turned, decoded whole", EncodeJpeg(64, 48, 3, rgb, turned), 11, 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageOptions gray = Mode(kImageModeGray);
    gray.invert = true;
    gray.colour = true;
    ImageInfo info;
    std::string error;
    ImageFile* image = OpenBytes(c.file, "t", gray, &info, &error);
    ASSERT_NE(image, nullptr) << error;
    if (c.width > 0) {
      ASSERT_TRUE(ResizeImage(image, c.width, c.height, &info, &error)) << error;
    }
    std::vector<uint8_t> colour;
    const std::vector<uint8_t> grey = ReadWithColour(image, info, &colour);
    CloseImage(image);
    // The mode's rows are what they are without colour rows.
    ImageInfo same;
    const std::vector<uint8_t> plain =
        c.width > 0 ? Resized(c.file, gray, c.width, c.height, &same) : DecodeBytes(c.file, gray, &same, &error);
    EXPECT_EQ(grey, plain);
    // The colour is the sized image's RGB, alpha over white, not inverted.
    const std::vector<uint8_t> expected = c.width > 0 ? Resized(c.file, Mode(kImageModeRGB), c.width, c.height, &same)
                                                      : DecodeBytes(c.file, Mode(kImageModeRGB), &same, &error);
    EXPECT_EQ(colour, expected);
  }
}

TEST(Resampling, RefusalsSayWhy) {
  ImageInfo info;
  std::string error;
  const std::string ppm = Ppm(4, 4, Smooth(4, 4, 3));
  ImageFile* image = OpenBytes(ppm, "t.ppm", ImageOptions(), &info, &error);
  EXPECT_FALSE(ResizeImage(image, 0, 5, &info, &error));
  EXPECT_EQ(error, "t.ppm: cannot be resized to 0 x 5 pixels; each side must be 1 to 32767");
  uint8_t row[12];
  ASSERT_TRUE(ReadImageRows(image, 0, 1, 0, 4, 0, 2, row, 12, &error)) << error;
  EXPECT_FALSE(ResizeImage(image, 2, 2, &info, &error));
  EXPECT_EQ(error, "t.ppm: cannot be resized once its rows are being read");
  CloseImage(image);
  image = OpenBytes(EncodeGif(2, 2, {0, 0, 0, 9, 9, 9}, {0, 1, 1, 0}), "t.gif", Mode(kImageModeMultichannel), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_FALSE(ResizeImage(image, 1, 1, &info, &error));
  EXPECT_EQ(error, "t.gif: cannot be resized: palette indices cannot be resized; ask for indexed mode or a colour mode");
  CloseImage(image);
}

}  // namespace
