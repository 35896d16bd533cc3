// HEIF/HEIC, AVIF and JPEG XL (tests/data/heif/, tests/data/jxl/, made by
// make_bad_corpus.py --samples): lossless files give their source's
// pixels, lossy ones what the encoders' own decoders (heif-convert, djxl)
// give, as the PNG reader delivers those PNGs; orientation, the first frame
// of an animation, the budget and the cancel flag.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ImageTestSupport.h"
#include "host/image/readers/ImageReader.h"

namespace {

const std::string kData = GW_IMAGE_TEST_DATA;

// Every delivered byte of the file, read whole and again in bands of 5 rows
// (which goes back to the top): both must agree; an animation shown frame
// after frame must give them again after its last frame and back at the
// first.
std::vector<uint8_t> Read(const std::string& path, const ImageOptions& options, ImageInfo* info) {
  ImageFile* image = nullptr;
  std::string error;
  if (!OpenImage(path.c_str(), options, &image, info, &error)) {
    ADD_FAILURE() << error;
    return {};
  }
  std::vector<uint8_t> whole = ReadAllRows(image, *info, &error);
  EXPECT_FALSE(whole.empty()) << error;
  EXPECT_EQ(ReadAllRows(image, *info, &error, 5), whole) << path << ": " << error;
  if (options.animation) {
    ImageInfo last;
    EXPECT_TRUE(ShowImageFrame(image, info->frames, &last, &error)) << error;
    EXPECT_NE(ReadAllRows(image, last, &error, 5), whole) << path << ": the last frame is the first";
    EXPECT_TRUE(ShowImageFrame(image, 1, &last, &error)) << error;
    EXPECT_EQ(ReadAllRows(image, last, &error, 5), whole) << path << ": " << error;
  }
  CloseImage(image);
  return whole;
}

// The refusal of `path`, at open or while reading, or empty.
std::string Refusal(const std::string& path, const ImageOptions& options) {
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  if (OpenImage(path.c_str(), options, &image, &info, &error)) {
    ReadAllRows(image, info, &error);
    CloseImage(image);
  }
  return error;
}

bool Lacks(const ImageReader* reader) { return reader == nullptr || kPngReader == nullptr; }

struct Pair {
  const char* file;       // under tests/data
  const char* reference;  // a PNG of the same pixels
  bool keepAlpha;
  const char* format;
};

void ExpectSamePixels(const Pair& p) {
  SCOPED_TRACE(p.file);
  ImageInfo info, expectedInfo;
  const ImageOptions options = Mode(kImageModeOwn, p.keepAlpha);
  const std::vector<uint8_t> actual = Read(kData + "/" + p.file, options, &info);
  const std::vector<uint8_t> expected = Read(kData + "/" + p.reference, options, &expectedInfo);
  ASSERT_FALSE(expected.empty());
  EXPECT_STREQ(info.format, p.format);
  EXPECT_EQ(info.width, expectedInfo.width);
  EXPECT_EQ(info.height, expectedInfo.height);
  EXPECT_EQ(info.mode, expectedInfo.mode);  // grey stays grey
  EXPECT_EQ(info.planes, expectedInfo.planes);
  EXPECT_TRUE(actual == expected) << "the pixels differ";
}

TEST(Heif, LosslessAvifGivesItsSourcePixels) {
  if (Lacks(kHeifReader)) GTEST_SKIP() << "no HEIF reader in this build";
  for (const Pair& p : {Pair{"heif/lossless-rgb.avif", "heif/rgb.png", false, "AVIF"},
                        Pair{"heif/lossless-gray.avif", "heif/gray.png", false, "AVIF"},
                        Pair{"heif/lossless-rgba.avif", "heif/rgba.png", true, "AVIF"},
                        Pair{"heif/lossless-rgba.avif", "heif/rgba.png", false, "AVIF"},
                        Pair{"heif/lossless-10-bit.avif", "heif/rgb-10-bit.png", false, "AVIF"},
                        Pair{"heif/lossless-grid-2x2.avif", "heif/grid.png", false, "AVIF"}}) {
    ExpectSamePixels(p);
  }
}

TEST(Heif, LossyFilesGiveWhatHeifConvertGives) {
  if (Lacks(kHeifReader)) GTEST_SKIP() << "no HEIF reader in this build";
  for (const Pair& p : {Pair{"heif/lossy.heic", "heif/lossy.heic.png", false, "HEIC"},
                        Pair{"heif/lossy-alpha.heic", "heif/lossy-alpha.heic.png", true, "HEIC"},
                        Pair{"heif/lossy.avif", "heif/lossy.avif.png", false, "AVIF"}}) {
    ExpectSamePixels(p);
  }
}

// irot turns the image a quarter anticlockwise; the EXIF orientation 6 in
// the same file must not turn it again.
TEST(Heif, TurnedByItsTransformationsAlone) {
  if (Lacks(kHeifReader)) GTEST_SKIP() << "no HEIF reader in this build";
  ImageInfo info, sourceInfo;
  const std::vector<uint8_t> turned = Read(kData + "/heif/irot-1-exif-6.avif", ImageOptions(), &info);
  const std::vector<uint8_t> source = Read(kData + "/heif/rgb.png", ImageOptions(), &sourceInfo);
  ASSERT_EQ(info.width, sourceInfo.height);
  ASSERT_EQ(info.height, sourceInfo.width);
  std::vector<uint8_t> expected;
  for (int y = 0; y < info.height; ++y) {
    for (int x = 0; x < info.width; ++x) {
      const size_t at = (static_cast<size_t>(x) * sourceInfo.width + (sourceInfo.width - 1 - y)) * 3;
      expected.insert(expected.end(), source.begin() + static_cast<long>(at), source.begin() + static_cast<long>(at) + 3);
    }
  }
  EXPECT_TRUE(turned == expected);
}

TEST(Jxl, LosslessFilesGiveTheirSourcePixels) {
  if (Lacks(kJxlReader)) GTEST_SKIP() << "no JPEG XL reader in this build";
  for (const Pair& p : {Pair{"jxl/lossless-rgb.jxl", "jxl/rgb.png", false, "JPEG XL"},
                        Pair{"jxl/lossless-gray.jxl", "jxl/gray.png", false, "JPEG XL"},
                        Pair{"jxl/lossless-rgba.jxl", "jxl/rgba.png", true, "JPEG XL"},
                        Pair{"jxl/lossless-rgb-16-bit.jxl", "jxl/rgb-16-bit.png", false, "JPEG XL"},
                        // An animation gives its first frame.
                        Pair{"jxl/animated.jxl", "jxl/rgb.png", false, "JPEG XL"}}) {
    ExpectSamePixels(p);
  }
}

TEST(Jxl, LossyFilesGiveWhatDjxlGives) {
  if (Lacks(kJxlReader)) GTEST_SKIP() << "no JPEG XL reader in this build";
  ExpectSamePixels({"jxl/lossy.jxl", "jxl/lossy.jxl.png", false, "JPEG XL"});
  ExpectSamePixels({"jxl/lossy-alpha.jxl", "jxl/lossy-alpha.jxl.png", true, "JPEG XL"});
  // Coded in XYB with an ICC profile libjxl cannot describe: in sRGB (as
  // djxl --color_space=RGB_D65_SRG_Rel_SRG gives it), not libjxl's linear
  // default, which would come out far too dark.
  ExpectSamePixels({"jxl/lossy-icc.jxl", "jxl/lossy-icc.jxl.png", false, "JPEG XL"});
}

// The header's orientation 6 is applied once, and reported.
TEST(Jxl, TurnedByTheOrientationInItsHeader) {
  if (Lacks(kJxlReader)) GTEST_SKIP() << "no JPEG XL reader in this build";
  ExpectSamePixels({"jxl/orientation-6.jxl", "jxl/rgb-exif-6.png", false, "JPEG XL"});
  ImageInfo info;
  Read(kData + "/jxl/orientation-6.jxl", ImageOptions(), &info);
  EXPECT_EQ(info.orientation, 6);
  ASSERT_NE(info.decodedWhole, nullptr);
  EXPECT_STREQ(info.decodedWhole, "JPEG XL");
  ImageOptions frames;
  frames.animation = true;
  Read(kData + "/jxl/animated.jxl", frames, &info);
  ASSERT_NE(info.decodedWhole, nullptr);
  EXPECT_STREQ(info.decodedWhole, "animated JPEG XL");
}

std::vector<std::string> Readable() {
  std::vector<std::string> files;
  if (kHeifReader != nullptr) files.insert(files.end(), {"heif/lossy.heic", "heif/lossless-grid-2x2.avif"});
  if (kJxlReader != nullptr) files.insert(files.end(), {"jxl/lossy.jxl", "jxl/lossless-rgb-16-bit.jxl"});
  return files;
}

// 24 x 16 pixels of 3 bytes need more than 1 KB with the decoders' own.
TEST(HeifJxl, BudgetRefusesBeforeDecoding) {
  for (const std::string& file : Readable()) {
    const std::string path = kData + "/" + file;
    ImageOptions options;
    options.memoryLimit = 1024;
    const std::string message = Refusal(path, options);
    EXPECT_EQ(message.rfind(path + ": needs ", 0), 0u) << message;
    EXPECT_NE(message.find("more than the limit of 1024 bytes"), std::string::npos) << message;
  }
}

// An image sequence's header lets its 100 x 60 frames give their own size,
// so its data does not say their size exactly and a header (ispe) that
// understates it cannot be caught before decoding: the decode is charged
// by what the data allows, not by the header's 16 x 16.
TEST(Heif, ChargedByTheCodedDataNotTheHeader) {
  if (Lacks(kHeifReader)) GTEST_SKIP() << "no HEIF reader in this build";
  std::ifstream in(kData + "/heif/animated.avif", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  std::string bytes = s.str();
  for (size_t at = bytes.find("ispe"); at != std::string::npos; at = bytes.find("ispe", at + 4)) {
    bytes.replace(at + 8, 8, std::string("\0\0\0\x10\0\0\0\x10", 8));
  }
  ImageOptions options;
  options.memoryLimit = 1 << 20;
  ImageInfo info;
  std::string error;
  EXPECT_TRUE(DecodeBytes(bytes, options, &info, &error, "sequence").empty());
  EXPECT_EQ(error.rfind("sequence: needs ", 0), 0u) << error;
}

TEST(HeifJxl, CancelFlagInterrupts) {
  static volatile std::sig_atomic_t cancel = 1;
  for (const std::string& file : Readable()) {
    const std::string path = kData + "/" + file;
    ImageOptions options;
    options.cancel = &cancel;
    EXPECT_EQ(Refusal(path, options), path + ": interrupted");
  }
}

// libjxl prints a trace of each decoding failure; the file's message is
// the only thing users get, and what else goes to stderr still does.
TEST(HeifJxl, LibrariesPrintNothing) {
  if (kJxlReader == nullptr) GTEST_SKIP() << "no JPEG XL reader in this build";
  char path[] = "/tmp/gw-stderr-XXXXXX";
  const int capture = mkstemp(path);
  ASSERT_GE(capture, 0);
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(capture, 2);
  const std::string message = Refusal(kData + "/bad/jxl-corrupt.jxl", ImageOptions());
  std::fprintf(stderr, "after\n");
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(capture);
  std::ifstream in(path);
  std::stringstream printed;
  printed << in.rdbuf();
  unlink(path);
  EXPECT_NE(message.find("corrupt JPEG XL data"), std::string::npos) << message;
  EXPECT_EQ(printed.str(), "after\n");
}

}  // namespace
