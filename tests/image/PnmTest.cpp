// The PNM and PAM reader: every variant, sample scaling, and the header and
// size checks that keep a short file from being trusted.
#include <gtest/gtest.h>

#include "ImageTestSupport.h"

namespace {

std::vector<uint8_t> Decode(const std::string& bytes, ImageInfo* info, std::string* error,
                            ImageOptions options = ImageOptions()) {
  return DecodeBytes(bytes, options, info, error, "t.pnm");
}

TEST(PnmReader, EveryVariantGivesTheSameGreyOrColour) {
  ImageInfo info;
  std::string error;
  // Black, white, black, white ... in PBM (1 = black), plain and raw.
  const std::vector<uint8_t> bits = {0, 255, 0, 255, 255, 255, 0, 255, 0, 0};
  EXPECT_EQ(Decode("P1\n5 2\n1 0 1 0 0\n01011\n", &info, &error), bits) << error;
  EXPECT_EQ(info.mode, kImageModeGray);  // a 1-bit image opens as grey
  EXPECT_EQ(Decode(Pnm("P4\n5 2\n", {0xA0, 0x58}), &info, &error), bits) << error;
  EXPECT_EQ(Decode("P2\n# comment\n3 1\n15\n0 15 7\n", &info, &error), (std::vector<uint8_t>{0, 255, 119}))
      << error;
  EXPECT_EQ(Decode(Pnm("P5 3 1 15\n", {0, 15, 7}), &info, &error), (std::vector<uint8_t>{0, 255, 119}));
  EXPECT_EQ(Decode(Pnm("P5 2 1 65535\n", {0xFF, 0xFF, 0x80, 0x00}), &info, &error),
            (std::vector<uint8_t>{255, 128}));
  EXPECT_EQ(Decode("P3 1 1 255 10 20 30\n", &info, &error), (std::vector<uint8_t>{10, 20, 30}));
  EXPECT_EQ(info.planes, 3);
  EXPECT_EQ(Decode(Pnm("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE\nENDHDR\n", {0, 1}),
                   &info, &error),
            (std::vector<uint8_t>{0, 255}));
  EXPECT_STREQ(info.format, "PAM");
  EXPECT_EQ(Decode(Pnm("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n",
                       {0, 0}), &info, &error),
            (std::vector<uint8_t>{255}));
}

TEST(PnmReader, StreamsThroughBandsAndRestarts) {
  std::vector<uint8_t> samples(7 * 9);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 7);
  for (const std::string& file : {Pnm("P5 7 9 255\n", samples), Pnm("P5 7 9 200\n", std::vector<uint8_t>(63, 100))}) {
    ImageInfo info;
    std::string error;
    ImageFile* image = OpenBytes(file, "t.pgm", ImageOptions(), &info, &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(info.decodedWhole, nullptr);
    std::vector<uint8_t> whole = ReadAllRows(image, info, &error);
    ASSERT_EQ(whole.size(), 63u) << error;
    for (int32_t band : {1, 2, 4, 8}) EXPECT_EQ(ReadAllRows(image, info, &error, band), whole) << band;
    CloseImage(image);
  }
}

TEST(PnmReader, HeadersThatLieAreRefusedAtOpen) {
  ImageInfo info;
  std::string error;
  // 1000 x 1000 promised, 3 bytes given: refused before a row is read.
  EXPECT_TRUE(Decode(Pnm("P6 1000 1000 255\n", {1, 2, 3}), &info, &error).empty());
  EXPECT_EQ(error, "t.pnm: truncated PPM file: it ends before the image data does (the header declares "
                   "1000 x 1000 pixels, 3000000 bytes, and 3 follow it)");
  EXPECT_TRUE(Decode("P2 1000 1000 255\n1 2 3\n", &info, &error).empty());
  EXPECT_NE(error.find("bytes at least"), std::string::npos) << error;
  EXPECT_TRUE(Decode(Pnm("P5 2 1 0\n", {0, 0}), &info, &error).empty());
  EXPECT_EQ(error, "t.pnm: corrupt PGM header: maximum sample value 0 outside 1..65535");
  EXPECT_TRUE(Decode(Pnm("P5 2 1 99\n", {0, 100}), &info, &error).empty());
  EXPECT_EQ(error, "t.pnm: corrupt PGM data: sample 100 exceeds the maximum value 99 of the header");
  EXPECT_TRUE(Decode("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n", &info, &error).empty());
  EXPECT_EQ(error, "t.pnm: truncated PAM file: the header has no ENDHDR");
  EXPECT_TRUE(Decode(Pnm("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n", {0}),
                     &info, &error).empty());
  EXPECT_EQ(error, "t.pnm: corrupt PAM header: TUPLTYPE RGB needs DEPTH 3 or more, not 1");
}

}  // namespace
