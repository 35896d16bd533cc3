// The interface's contract with a host: what opens and what does not, with
// which message; requests of any rectangle; bands against a whole read;
// going back; failures met while reading.
#include <gtest/gtest.h>

#include <string>

#include "ImageTestSupport.h"
#include "host/image/readers/ImageReader.h"

namespace {

std::string OpenError(const std::string& bytes, const char* name, ImageOptions options = ImageOptions()) {
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(bytes, name, options, &info, &error);
  EXPECT_EQ(image, nullptr) << name << " opened";
  CloseImage(image);
  return error;
}

// A 5 x 4 RGB image whose every byte is different.
std::string Counting() {
  std::vector<uint8_t> samples(5 * 4 * 3);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 3 + 1);
  return Pnm("P6\n5 4\n255\n", samples);
}

TEST(ImageOpen, MissingFileAndFolderAreNamed) {
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  EXPECT_FALSE(OpenImage(GW_IMAGE_TEST_DATA "/no-such-image.png", ImageOptions(), &image, &info, &error));
  EXPECT_EQ(error, GW_IMAGE_TEST_DATA "/no-such-image.png: no such file");
  EXPECT_FALSE(OpenImage(GW_IMAGE_TEST_DATA, ImageOptions(), &image, &info, &error));
  EXPECT_EQ(error, GW_IMAGE_TEST_DATA ": is a folder, not an image file");
  EXPECT_EQ(image, nullptr);
}

TEST(ImageOpen, ContentDecidesTheFormatNotTheExtension) {
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(Counting(), "photo.jpg", ImageOptions(), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_STREQ(info.format, "PNM");
  CloseImage(image);

  EXPECT_EQ(OpenError("", "photo.jpg"), "photo.jpg: empty file");
  EXPECT_EQ(OpenError("<html><body>", "photo.jpg"), "photo.jpg: not a JPEG file (it starts with \"<html><b\")");
  EXPECT_EQ(OpenError(std::string("\0\1\2\3", 4), "scan.TIFF"), "scan.TIFF: not a TIFF file (it starts with 00 01 02 03)");
  std::string error2 = OpenError("hello, world", "notes.txt");
  EXPECT_EQ(error2.rfind("notes.txt: not an image file (it starts with \"hello, w\"; readable formats: ", 0), 0u) << error2;
  error2 = OpenError(std::string("BM\0\0\0\0\0\0\0\0\0\0\0\0\x28\0\0\0", 18), "old.bmp");
  EXPECT_EQ(error2.rfind("old.bmp: a BMP file, which is not supported", 0), 0u) << error2;
  EXPECT_EQ(OpenError("BMW parts list", "parts"), "parts: not an image file (it starts with \"BMW part\"; "
                                                  "readable formats: " + std::string(kJpegReader != nullptr ? "JPEG, PNG, TIFF, GIF, " : "") +
                                                  (kWebpReader != nullptr ? "WebP, " : "") +
                                                  (kHeifReader != nullptr ? "HEIF/HEIC, AVIF, " : "") +
                                                  (kJxlReader != nullptr ? "JPEG XL, " : "") + "PNM and PAM)");
}

TEST(ImageOpen, SizesTheInterfaceCannotCarryAreRefused) {
  EXPECT_EQ(OpenError("P5 40000 10 255\n", "wide.pgm"),
            "wide.pgm: too large: 40000 x 10 pixels; at most 32767 in each direction");
  EXPECT_EQ(OpenError("P5 10 32768 255\n", "tall.pgm"),
            "tall.pgm: too large: 10 x 32768 pixels; at most 32767 in each direction");
  EXPECT_EQ(OpenError("P5 0 0 255\n", "none.pgm"), "none.pgm: empty image: 0 x 0 pixels");
  // The largest size is fine as far as the size goes (the data is missing).
  std::string error = OpenError("P5 32767 1 255\n", "edge.pgm");
  EXPECT_NE(error.find("truncated PGM file"), std::string::npos) << error;
}

TEST(ImageOpen, FormatsMissingFromTheBuildSaySo) {
  if (kJpegReader != nullptr) GTEST_SKIP() << "this build reads JPEG";
  std::string error = OpenError(std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11), "photo.jpg");
  EXPECT_EQ(error, "photo.jpg: a JPEG file, and this build cannot read JPEG (it reads PNM and PAM)");
}

TEST(ImageRequests, BandsRectanglesAndPlaneRangesMatchAWholeRead) {
  ImageInfo info;
  std::string error;
  std::vector<uint8_t> whole = DecodeBytes(Counting(), ImageOptions(), &info, &error);
  ASSERT_EQ(whole.size(), 60u) << error;
  ImageFile* image = OpenBytes(Counting(), "t.ppm", ImageOptions(), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  for (int32_t band : {1, 3}) {
    EXPECT_EQ(ReadAllRows(image, info, &error, band), whole) << band;  // going back restarts
  }
  // Rows 1..2, columns 1..3, planes 1..2, into rows 10 bytes apart.
  std::vector<uint8_t> out(20, 0xEE);
  ASSERT_TRUE(ReadImageRows(image, 1, 3, 1, 4, 1, 2, out.data(), 10, &error)) << error;
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(out[r * 10 + c * 2 + p], whole[((1 + r) * 5 + 1 + c) * 3 + 1 + p]);
      }
    }
    for (int pad = 6; pad < 10; ++pad) EXPECT_EQ(out[r * 10 + pad], 0xEE) << "wrote past the row";
  }
  // Skipping rows forward.
  uint8_t row[15];
  ASSERT_TRUE(ReadImageRows(image, 3, 4, 0, 5, 0, 2, row, 15, &error)) << error;
  EXPECT_EQ(std::vector<uint8_t>(row, row + 15), std::vector<uint8_t>(whole.begin() + 45, whole.end()));
  CloseImage(image);
}

TEST(ImageRequests, BadRequestsAreRefusedWithoutHarm) {
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(Counting(), "t.ppm", ImageOptions(), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  std::vector<uint8_t> out(64);
  EXPECT_FALSE(ReadImageRows(image, 0, 5, 0, 5, 0, 2, out.data(), 15, &error));
  EXPECT_NE(error.find("request outside the image"), std::string::npos) << error;
  EXPECT_FALSE(ReadImageRows(image, 0, 1, 0, 5, 0, 3, out.data(), 15, &error));
  EXPECT_FALSE(ReadImageRows(image, 0, 1, 3, 2, 0, 2, out.data(), 15, &error));
  EXPECT_FALSE(ReadImageRows(image, 0, 1, 0, 5, 0, 2, out.data(), 14, &error));
  EXPECT_NE(error.find("shorter than a row of 15 bytes"), std::string::npos) << error;
  EXPECT_TRUE(ReadImageRows(image, 2, 2, 0, 5, 0, 2, out.data(), 15, &error));  // nothing asked
  // None of that spoilt the image.
  EXPECT_EQ(ReadAllRows(image, info, &error, 2).size(), 60u) << error;
  CloseImage(image);
}

TEST(ImageRequests, DamageFoundWhileReadingFailsThatBandAndEveryLaterOne) {
  // Plain PGM, 2 x 3, the last row damaged.
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes("P2 2 3 255\n1 2\n3 4\n5 x\n", "bad.pgm", ImageOptions(), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  uint8_t rows[6];
  ASSERT_TRUE(ReadImageRows(image, 0, 2, 0, 2, 0, 0, rows, 2, &error)) << error;
  EXPECT_EQ(std::vector<uint8_t>(rows, rows + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_FALSE(ReadImageRows(image, 2, 3, 0, 2, 0, 0, rows, 2, &error));
  EXPECT_EQ(error, "bad.pgm: corrupt PGM data: a sample that is not a number from 0 to 65535");
  std::string again;
  EXPECT_FALSE(ReadImageRows(image, 0, 1, 0, 2, 0, 0, rows, 2, &again));
  EXPECT_EQ(again, error);
  CloseImage(image);
}

TEST(ImageRequests, HelpSaysWhatIsDecodedWhole) {
  std::string help = ImageInputHelp();
  EXPECT_NE(help.find("PNM and PAM"), std::string::npos) << help;
  EXPECT_NE(help.find("Decoded a band at a time"), std::string::npos) << help;
  if (kSystemDecoders != nullptr) {
    EXPECT_NE(help.find(std::string("Decoded whole, in memory: JPEG, PNG, TIFF and GIF, by ") + kSystemDecoders),
              std::string::npos) << help;
  } else if (kJpegReader != nullptr) {
    EXPECT_NE(help.find("Decoded whole, in memory: progressive JPEG"), std::string::npos) << help;
  }
  EXPECT_NE(help.find("Palette images\n(GIF, palette PNG and TIFF) open as rgb"), std::string::npos) << help;
  EXPECT_EQ(help.back(), '\n');
}

}  // namespace
