// Resized images: the resampler against libswscale's own resampling, flat
// images, bands against whole reads, the JPEG decoder's own shrinking,
// averaging in colour before the mode, colour rows beside the mode's, and
// what cannot be resized.
#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "Encoders.h"
#include "ImageTestSupport.h"
#include "host/image/Resample.h"

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

TEST(Resampling, MatchesLibswscaleOnTheSamePixelsChannelByChannel) {
  const int sw = 53, sh = 41, dw = 17, dh = 29;  // down across, up down
  const std::vector<uint8_t> rgb = Smooth(sw, sh, 3);
  ImageInfo info;
  const std::vector<uint8_t> ours = Resized(Ppm(sw, sh, rgb), Mode(kImageModeRGB), dw, dh, &info, 4);
  ASSERT_EQ(ours.size(), static_cast<size_t>(dw * dh * 3));
  for (int c = 0; c < 3; ++c) {
    std::vector<uint8_t> plane, expected(static_cast<size_t>(dw * dh));
    for (size_t i = static_cast<size_t>(c); i < rgb.size(); i += 3) plane.push_back(rgb[i]);
    SwsContext* context = sws_getContext(sw, sh, AV_PIX_FMT_GRAY8, dw, dh, AV_PIX_FMT_GRAY8,
                                         SWS_LANCZOS | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr);
    const uint8_t* src[4] = {plane.data()};
    const int srcStride[4] = {sw};
    uint8_t* dst[4] = {expected.data()};
    const int dstStride[4] = {dw};
    ASSERT_EQ(sws_scale(context, src, srcStride, 0, sh, dst, dstStride), dh);
    sws_freeContext(context);
    for (int i = 0; i < dw * dh; ++i) ASSERT_EQ(ours[static_cast<size_t>(i) * 3 + static_cast<size_t>(c)], expected[static_cast<size_t>(i)]) << c << " " << i;
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
  // One-pixel black and white columns, shrunk by a factor that is no
  // integer and, second, beyond what libswscale takes in one step.
  std::vector<uint8_t> stripes;
  for (int i = 0; i < 1000 * 60; ++i) stripes.push_back(i % 2 != 0 ? 255 : 0);
  ImageInfo info;
  for (int32_t w : {150, 11}) {
    const std::vector<uint8_t> out = Resized(Pnm("P5 1000 60 255\n", stripes), ImageOptions(), w, 5, &info);
    ASSERT_FALSE(out.empty());
    // Inside: at the edges the filter meets the stripes from one side only.
    for (size_t i = 0; i < out.size(); ++i) {
      const size_t x = i % static_cast<size_t>(w);
      if (x == 0 || x + 1 == static_cast<size_t>(w)) continue;
      EXPECT_NEAR(out[i], 128, 10) << w;
    }
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
