// Each mode's bytes for known colours, from PPM and PAM input (read the
// same in every build); CMYK and Lab only where the build converts colour.
#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "host/image/stages/ColourTransform.h"
#include "host/image/stages/Convert.h"

namespace {

// red, green, blue, white, black, grey 128, yellow, a dark red
const std::vector<uint8_t> kColours = {255, 0, 0,   0, 255, 0,   0, 0, 255,     255, 255, 255,
                                       0, 0, 0,     128, 128, 128, 255, 255, 0, 128, 64, 64};

std::vector<uint8_t> Deliver(int16_t mode, ImageInfo* info = nullptr) {
  ImageInfo local;
  std::string error;
  std::vector<uint8_t> out =
      DecodeBytes(Pnm("P6 8 1 255\n", kColours), Mode(mode), info != nullptr ? info : &local, &error);
  EXPECT_FALSE(out.empty()) << error;
  return out;
}

TEST(ImageModes, GreyIsRoundedRec601LumaAndDuotoneTheSame) {
  const std::vector<uint8_t> grey = {76, 150, 29, 255, 0, 128, 226, 83};
  ImageInfo info;
  EXPECT_EQ(Deliver(kImageModeGray, &info), grey);
  EXPECT_EQ(info.planes, 1);
  EXPECT_EQ(Deliver(kImageModeDuotone, &info), grey);
  EXPECT_EQ(info.mode, kImageModeDuotone);
}

TEST(ImageModes, HsbAndHslUsePhotoshopsByteEncoding) {
  EXPECT_EQ(Deliver(kImageModeHSB),
            (std::vector<uint8_t>{0, 255, 255,  85, 255, 255,  170, 255, 255, 0, 0, 255,
                                  0, 0, 0,      0, 0, 128,     43, 255, 255,  0, 128, 128}));
  EXPECT_EQ(Deliver(kImageModeHSL),
            (std::vector<uint8_t>{0, 255, 128,  85, 255, 128,  170, 255, 128, 0, 0, 255,
                                  0, 0, 0,      0, 0, 128,     43, 255, 128,  0, 85, 96}));
}

TEST(ImageModes, BitmapPacksBitsFromTheTopOneIsBlack) {
  ImageInfo info;
  // Grey 76 150 29 255 0 128 226 83: below 128 is black.
  EXPECT_EQ(Deliver(kImageModeBitmap, &info), (std::vector<uint8_t>{0xA9}));
  EXPECT_EQ(info.depth, 1);
  EXPECT_EQ(info.planes, 1);
  // A column range that starts inside a byte still starts at the top bit.
  std::string error;
  ImageFile* image = OpenBytes(Pnm("P6 8 1 255\n", kColours), "t.ppm", Mode(kImageModeBitmap), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  uint8_t byte = 0;
  ASSERT_TRUE(ReadImageRows(image, 0, 1, 2, 6, 0, 0, &byte, 1, &error)) << error;
  EXPECT_EQ(byte, 0xA0);  // 29 255 0 128
  CloseImage(image);
}

TEST(ImageModes, QuantisedIndexedIsOrderedByLuminance) {
  const uint8_t(*palette)[3] = QuantisePalette();
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(QuantiseColour(palette[i][0], palette[i][1], palette[i][2]), i) << i;
    if (i > 0) {
      int before = 299 * palette[i - 1][0] + 587 * palette[i - 1][1] + 114 * palette[i - 1][2];
      int now = 299 * palette[i][0] + 587 * palette[i][1] + 114 * palette[i][2];
      EXPECT_LE(before, now) << i;
    }
  }
  ImageInfo info;
  std::vector<uint8_t> indices = Deliver(kImageModeIndexed, &info);
  ASSERT_EQ(indices.size(), 8u);
  ASSERT_EQ(info.paletteCount, 256);
  EXPECT_EQ(indices[3], 255);  // white
  EXPECT_EQ(indices[4], 0);    // black
  // Cube colours map to themselves, the rest to their nearest entry.
  const uint8_t expected[8][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255},
                                  {0, 0, 0},   {130, 130, 130}, {255, 255, 0}, {153, 51, 51}};
  for (int i = 0; i < 8; ++i) {
    for (int k = 0; k < 3; ++k) EXPECT_EQ(info.palette[indices[i]][k], expected[i][k]) << i;
  }
}

TEST(ImageModes, GreyIndexedUsesTheGreyLevelsThemselves) {
  ImageInfo info;
  std::string error;
  std::vector<uint8_t> out =
      DecodeBytes(Pnm("P5 3 1 255\n", {0, 77, 255}), Mode(kImageModeIndexed), &info, &error);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 77, 255})) << error;
  EXPECT_EQ(info.palette[77][0], 77);
  EXPECT_EQ(info.palette[77][2], 77);
}

TEST(ImageModes, AlphaIsCompositedOverWhiteOrKeptAsTheLastPlane) {
  // Black at alpha 128, red at alpha 0, green opaque.
  const std::string pam = Pnm("P7\nWIDTH 3\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                              {0, 0, 0, 128, 255, 0, 0, 0, 0, 255, 0, 255});
  ImageInfo info;
  std::string error;
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeOwn), &info, &error),
            (std::vector<uint8_t>{127, 127, 127, 255, 255, 255, 0, 255, 0}));
  EXPECT_EQ(info.planes, 3);
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeOwn, true), &info, &error),
            (std::vector<uint8_t>{0, 0, 0, 128, 255, 0, 0, 0, 0, 255, 0, 255}));
  EXPECT_TRUE(info.alphaPlane);
  EXPECT_EQ(info.planes, 4);
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeGray, true), &info, &error),
            (std::vector<uint8_t>{0, 128, 76, 0, 150, 255}));
  // Multichannel: every plane as stored, nothing composited.
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeMultichannel), &info, &error),
            (std::vector<uint8_t>{0, 0, 0, 128, 255, 0, 0, 0, 0, 255, 0, 255}));
  EXPECT_EQ(info.mode, kImageModeMultichannel);
}

TEST(ImageModes, LabIsLcmsTypeLab8WithD50White) {
  if (!ColourTransformsAvailable()) GTEST_SKIP() << "no colour management in this build";
  std::vector<uint8_t> lab = Deliver(kImageModeLab);
  ASSERT_EQ(lab.size(), 24u);
  EXPECT_EQ(std::vector<uint8_t>(lab.begin(), lab.begin() + 3), (std::vector<uint8_t>{138, 209, 198}));
  EXPECT_EQ(std::vector<uint8_t>(lab.begin() + 9, lab.begin() + 15),
            (std::vector<uint8_t>{255, 128, 128, 0, 128, 128}));
}

TEST(ImageModes, CmykUsesFullGreyReplacementWith255ForNoInk) {
  // Every grey is black ink alone; 255 means no ink.
  EXPECT_EQ(Deliver(kImageModeCMYK),
            (std::vector<uint8_t>{255, 0, 0, 255,      0, 255, 0, 255,     0, 0, 255, 255,
                                  255, 255, 255, 255,  255, 255, 255, 0,   255, 255, 255, 128,
                                  255, 255, 0, 255,    255, 127, 127, 128}));
  // And back: inks of a CMYK PAM (0 = none in the file) to RGB.
  ImageInfo info;
  std::string error;
  const std::string pam = Pnm("P7\nWIDTH 4\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n",
                              {0, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 128, 0, 128});
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeRGB), &info, &error),
            (std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 0, 0, 0, 127, 63, 127}));
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeOwn), &info, &error),
            (std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 0, 255, 127, 255, 127}));
  EXPECT_EQ(info.mode, kImageModeCMYK);
}

TEST(ImageModes, UnknownChannelsOnlyInMultichannel) {
  const std::string pam = Pnm("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n", {1, 2, 3, 4, 5});
  ImageInfo info;
  std::string error;
  EXPECT_EQ(DecodeBytes(pam, Mode(kImageModeOwn), &info, &error), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(info.mode, kImageModeMultichannel);
  EXPECT_TRUE(DecodeBytes(pam, Mode(kImageModeRGB), &info, &error).empty());
  EXPECT_NE(error.find("multichannel mode only"), std::string::npos) << error;
}

TEST(ImageModes, InvertTurnsEverySampleButAlpha) {
  ImageOptions invert = Mode(kImageModeOwn);
  invert.invert = true;
  ImageInfo info;
  std::string error;
  std::vector<uint8_t> inverse;
  for (uint8_t v : kColours) inverse.push_back(static_cast<uint8_t>(255 - v));
  EXPECT_EQ(DecodeBytes(Pnm("P6 8 1 255\n", kColours), invert, &info, &error), inverse);
  // Alpha kept, or stored in a multichannel image, stays as it is.
  const std::string pam = Pnm("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                              {0, 10, 20, 128, 255, 0, 0, 0});
  invert.keepAlpha = true;
  EXPECT_EQ(DecodeBytes(pam, invert, &info, &error), (std::vector<uint8_t>{255, 245, 235, 128, 0, 255, 255, 0}));
  invert.mode = kImageModeMultichannel;
  EXPECT_EQ(DecodeBytes(pam, invert, &info, &error), (std::vector<uint8_t>{255, 245, 235, 128, 0, 255, 255, 0}));
  invert.keepAlpha = false;
  // Bitmap: the pixels' bits flip, the padding stays clear.
  invert.mode = kImageModeBitmap;
  EXPECT_EQ(DecodeBytes(Pnm("P6 8 1 255\n", kColours), invert, &info, &error), (std::vector<uint8_t>{0x56}));
  EXPECT_EQ(DecodeBytes(Pnm("P5 3 1 255\n", {76, 150, 29}), invert, &info, &error), (std::vector<uint8_t>{0x40}));
  // Indexed: inverted indices, and the table turned with them.
  invert.mode = kImageModeIndexed;
  EXPECT_EQ(DecodeBytes(Pnm("P6 2 1 255\n", {255, 0, 0, 0, 0, 0}), invert, &info, &error),
            (std::vector<uint8_t>{static_cast<uint8_t>(255 - QuantiseColour(255, 0, 0)), 255}));
  EXPECT_EQ(info.paletteCount, 256);
  const uint8_t* red = info.palette[255 - QuantiseColour(255, 0, 0)];
  EXPECT_EQ(std::vector<uint8_t>(red, red + 3), (std::vector<uint8_t>{0, 255, 255}));
}

TEST(ImageModes, NamesRoundTrip) {
  for (int16_t m = kImageModeBitmap; m <= kImageModeLab; ++m) {
    int16_t parsed = -5;
    ASSERT_TRUE(ParseImageMode(ImageModeName(m), &parsed));
    EXPECT_EQ(parsed, m);
  }
  int16_t mode = 0;
  EXPECT_TRUE(ParseImageMode("Grey", &mode));
  EXPECT_EQ(mode, kImageModeGray);
  EXPECT_FALSE(ParseImageMode("sepia", &mode));
}

}  // namespace
