// Each format library's files: the samples they carry in every layout we
// read, orientation, alpha, palettes, streaming against whole reads, and
// the damage that only shows while rows are decoded.
#include <gtest/gtest.h>

#include <png.h>
#include <tiffio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "Encoders.h"
#include "ImageTestSupport.h"
#include "host/image/stages/ColourTransform.h"
#include "host/image/readers/WholeInflate.h"

namespace {

// W x H RGB pixels, every one different.
std::vector<uint8_t> Pattern(int w, int h, int channels = 3) {
  std::vector<uint8_t> p;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      p.push_back(static_cast<uint8_t>(x * 40 + y * 3));
      p.push_back(static_cast<uint8_t>(y * 50 + x));
      p.push_back(static_cast<uint8_t>(200 - x * 10 - y * 7));
      if (channels == 4) p.push_back(static_cast<uint8_t>(255 - x * 20 - y));
    }
  return p;
}

std::vector<uint8_t> Decode(const std::string& bytes, ImageInfo* info, ImageOptions options = ImageOptions(),
                            const char* name = "test") {
  std::string error;
  std::vector<uint8_t> out = DecodeBytes(bytes, options, info, &error, name);
  EXPECT_FALSE(out.empty()) << error;
  return out;
}

void ExpectNear(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected, int tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  int worst = 0;
  for (size_t i = 0; i < actual.size(); ++i) worst = std::max(worst, std::abs(actual[i] - expected[i]));
  EXPECT_LE(worst, tolerance);
}

// Whole, in bands of 1 and 5 rows, going back in between: the same bytes;
// of an animation shown frame after frame, also after its last frame and
// back at the first.
void ExpectStreamsLikeWhole(const std::string& bytes, ImageOptions options = ImageOptions()) {
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(bytes, "stream", options, &info, &error);
  ASSERT_NE(image, nullptr) << error;
  std::vector<uint8_t> whole = ReadAllRows(image, info, &error);
  ASSERT_FALSE(whole.empty()) << error;
  EXPECT_EQ(ReadAllRows(image, info, &error, 1), whole) << error;
  EXPECT_EQ(ReadAllRows(image, info, &error, 5), whole) << error;
  if (options.animation) {
    for (int32_t frame = 2; frame <= info.frames; ++frame) {
      ASSERT_TRUE(ShowImageFrame(image, frame, &info, &error)) << error;
      EXPECT_NE(ReadAllRows(image, info, &error, 5), whole) << "frame " << frame << " is the first";
    }
    ASSERT_TRUE(ShowImageFrame(image, 1, &info, &error)) << error;
    EXPECT_EQ(ReadAllRows(image, info, &error, 5), whole) << error;
  }
  CloseImage(image);
}

ImageOptions Frames(int16_t mode) {
  ImageOptions options = Mode(mode);
  options.animation = true;
  return options;
}

// What orientation `o` shows at (x, y), from the stored w x h image.
std::vector<uint8_t> Oriented(const std::vector<uint8_t>& s, int w, int h, int o) {
  const bool swap = o >= 5;
  const int dw = swap ? h : w, dh = swap ? w : h;
  std::vector<uint8_t> out;
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw; ++x) {
      int sx = x, sy = y;
      switch (o) {
        case 2: sx = w - 1 - x; break;
        case 3: sx = w - 1 - x; sy = h - 1 - y; break;
        case 4: sy = h - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = h - 1 - x; break;
        case 7: sx = w - 1 - y; sy = h - 1 - x; break;
        case 8: sx = w - 1 - y; sy = x; break;
      }
      for (int k = 0; k < 3; ++k) out.push_back(s[(sy * w + sx) * 3 + k]);
    }
  return out;
}

// ---- PNG --------------------------------------------------------------------------

TEST(PngFiles, EveryColourTypeAndDepth) {
  ImageInfo info;
  const std::vector<uint8_t> rgb = Pattern(5, 4);
  EXPECT_EQ(Decode(EncodePng(5, 4, PNG_COLOR_TYPE_RGB, rgb), &info), rgb);
  EXPECT_EQ(info.mode, kImageModeRGB);
  EXPECT_STREQ(info.format, "PNG");

  std::vector<uint8_t> wide;
  for (uint8_t v : rgb) {
    wide.push_back(v);
    wide.push_back(v);  // v * 257 big-endian: exactly v again
  }
  PngOptions sixteen;
  sixteen.bitDepth = 16;
  EXPECT_EQ(Decode(EncodePng(5, 4, PNG_COLOR_TYPE_RGB, wide, sixteen), &info), rgb);

  PngOptions one;
  one.bitDepth = 1;
  EXPECT_EQ(Decode(EncodePng(3, 1, PNG_COLOR_TYPE_GRAY, {0xA0}, one), &info),
            (std::vector<uint8_t>{255, 0, 255}));
  EXPECT_EQ(info.mode, kImageModeGray);

  // Grey + alpha: half-transparent black over white.
  EXPECT_EQ(Decode(EncodePng(2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {0, 128, 50, 255}), &info),
            (std::vector<uint8_t>{127, 50}));
  EXPECT_EQ(Decode(EncodePng(2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {0, 128, 50, 255}), &info, Mode(kImageModeOwn, true)),
            (std::vector<uint8_t>{0, 128, 50, 255}));
}

TEST(PngFiles, PalettesKeepTheirIndicesAndComposeTheirTable) {
  PngOptions o;
  o.bitDepth = 4;
  o.palette = {10, 20, 30, 200, 100, 0, 0, 0, 0};
  o.alpha = {255, 255, 0};
  const std::string png = EncodePng(4, 1, PNG_COLOR_TYPE_PALETTE, {0x01, 0x21}, o);
  ImageInfo info;
  EXPECT_EQ(Decode(png, &info, Mode(kImageModeIndexed)), (std::vector<uint8_t>{0, 1, 2, 1}));
  EXPECT_EQ(info.mode, kImageModeIndexed);
  EXPECT_EQ(info.paletteCount, 3);
  EXPECT_EQ(info.palette[1][0], 200);
  EXPECT_EQ(info.palette[2][0], 255);  // transparent black over white
  EXPECT_EQ(info.transparentIndex, 2);
  EXPECT_EQ(Decode(png, &info, Mode(kImageModeIndexed, true)), (std::vector<uint8_t>{0, 255, 1, 255, 2, 0, 1, 255}));
  EXPECT_EQ(info.palette[2][0], 0);
  EXPECT_EQ(Decode(png, &info, Mode(kImageModeRGB)),
            (std::vector<uint8_t>{10, 20, 30, 200, 100, 0, 255, 255, 255, 200, 100, 0}));
}

// Palette pixels, converted through their table, give in every mode what
// the same colours do in an RGB image; with alpha kept, the entry's alpha
// follows as the last plane.
TEST(PngFiles, PaletteImagesConvertLikeTheirColoursInEveryMode) {
  PngOptions o;
  std::vector<uint8_t> indices(256);
  for (int i = 0; i < 256; ++i) {
    for (int k = 0; k < 3; ++k) o.palette.push_back(static_cast<uint8_t>(i * (k + 3) + 17 * k));
    o.alpha.push_back(static_cast<uint8_t>(i < 200 ? 255 : i));  // some opaque, some not
    indices[static_cast<size_t>(i)] = static_cast<uint8_t>((i * 37) & 255);
  }
  const std::string png = EncodePng(16, 16, PNG_COLOR_TYPE_PALETTE, indices, o);
  std::vector<uint8_t> raw, over, alpha;
  for (uint8_t index : indices) {
    const int a = o.alpha[index];
    for (int k = 0; k < 3; ++k) {
      const int v = o.palette[3 * index + k];
      raw.push_back(static_cast<uint8_t>(v));
      over.push_back(static_cast<uint8_t>((v * a + 255 * (255 - a) + 127) / 255));
    }
    alpha.push_back(static_cast<uint8_t>(a));
  }
  const std::string rawPpm = Pnm("P6 16 16 255\n", raw), overPpm = Pnm("P6 16 16 255\n", over);
  ImageInfo info, rgbInfo;
  for (int16_t mode : {kImageModeBitmap, kImageModeGray, kImageModeRGB, kImageModeCMYK, kImageModeHSL,
                       kImageModeHSB, kImageModeDuotone, kImageModeLab}) {
    if (mode == kImageModeLab && !ColourTransformsAvailable()) continue;
    SCOPED_TRACE(ImageModeName(mode));
    EXPECT_EQ(Decode(png, &info, Mode(mode)), Decode(overPpm, &rgbInfo, Mode(mode)));
    if (mode == kImageModeBitmap) continue;
    std::vector<uint8_t> kept = Decode(rawPpm, &rgbInfo, Mode(mode)), withAlpha;
    const size_t planes = kept.size() / 256;
    for (size_t i = 0; i < 256; ++i) {
      withAlpha.insert(withAlpha.end(), kept.begin() + static_cast<long>(i * planes),
                       kept.begin() + static_cast<long>((i + 1) * planes));
      withAlpha.push_back(alpha[i]);
    }
    EXPECT_EQ(Decode(png, &info, Mode(mode, true)), withAlpha);
  }
}

// What reading a whole file gives: its bytes, or its message.
std::string Outcome(const std::string& bytes, uint64_t memoryLimit) {
  ImageOptions options;
  options.memoryLimit = memoryLimit;
  ImageInfo info;
  std::string error;
  std::vector<uint8_t> out = DecodeBytes(bytes, options, &info, &error, "damaged.png");
  return out.empty() ? "error: " + error : std::string(out.begin(), out.end());
}

// A PNG's chunks: where each starts, its length and type.
struct Chunk {
  size_t at;
  size_t length;
  std::string type;
};

std::vector<Chunk> Chunks(const std::string& png) {
  std::vector<Chunk> chunks;
  for (size_t at = 8; at + 12 <= png.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(png.data() + at);
    const size_t length = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    chunks.push_back(Chunk{at, length, png.substr(at + 4, 4)});
    at += 12 + length;
  }
  return chunks;
}

void FixCrc(std::string* png, const Chunk& c) {
  const uint32_t crc = Crc32(0, reinterpret_cast<const uint8_t*>(png->data() + c.at + 4), c.length + 4);
  for (int k = 0; k < 4; ++k) (*png)[c.at + 8 + c.length + k] = static_cast<char>(crc >> (24 - 8 * k));
}

std::string MakeChunk(const std::string& type, const std::string& data) {
  std::string chunk(4, '\0');
  for (int k = 0; k < 4; ++k) chunk[k] = static_cast<char>(data.size() >> (24 - 8 * k));
  chunk += type + data + std::string(4, '\0');
  FixCrc(&chunk, Chunk{0, data.size(), type});
  return chunk;
}

// Images inflated whole must fail, or not, exactly as libpng streaming
// them does: the same bytes or the same message, whatever the damage.
TEST(PngFiles, InflatingWholeChangesNothingButTheSpeed) {
  // Noise, every other row a copy of the one two above: matches 770 bytes
  // back, beyond a small window.
  std::vector<uint8_t> noise(128 * 64 * 3);
  uint32_t seed = 7;
  for (size_t i = 0; i < noise.size(); ++i) {
    const size_t row = i / 384;
    noise[i] = row % 2 == 1 && row >= 2 ? noise[i - 768]
                                        : static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  }
  const std::string png = EncodePng(128, 64, PNG_COLOR_TYPE_RGB, noise);
  const std::vector<Chunk> chunks = Chunks(png);
  std::vector<Chunk> idat;
  for (const Chunk& c : chunks) {
    if (c.type == "IDAT") idat.push_back(c);
  }
  ASSERT_GE(idat.size(), 2u);
  const Chunk& last = idat.back();
  const size_t afterIdat = last.at + 12 + last.length;

  std::map<std::string, std::string> damaged;
  damaged["intact"] = png;
  std::string s = png;
  s[idat[1].at + 8 + idat[1].length] ^= 0x10;  // the CRC itself
  damaged["IDAT CRC"] = s;
  s = png;
  s[idat[1].at + 8 + idat[1].length / 2] ^= 0x10;
  FixCrc(&s, idat[1]);
  damaged["deflate data"] = s;
  s = png;
  s[last.at + 8 + last.length - 1] ^= 1;
  FixCrc(&s, last);
  damaged["Adler-32"] = s;
  s = png;
  s[idat[0].at + 8] = 0x48;  // a 512-byte window (FCHECK still right)
  s[idat[0].at + 9] = static_cast<char>(31 - (0x48 * 256 % 31));
  FixCrc(&s, idat[0]);
  damaged["small window"] = s;
  damaged["cut inside IDAT"] = png.substr(0, idat[1].at + 20);
  damaged["cut between IDATs"] = png.substr(0, idat[1].at);
  damaged["no IEND"] = png.substr(0, afterIdat);
  damaged["empty IDAT between"] = png.substr(0, idat[1].at) + MakeChunk("IDAT", "") + png.substr(idat[1].at);
  damaged["tEXt between IDATs"] = png.substr(0, idat[1].at) + MakeChunk("tEXt", "a\0b") + png.substr(idat[1].at);
  s = png.substr(0, afterIdat - 4) + "xyz" + png.substr(afterIdat - 4);
  s[last.at + 3] = static_cast<char>(s[last.at + 3] + 3);
  FixCrc(&s, Chunk{last.at, last.length + 3, "IDAT"});
  damaged["data after the stream"] = s;

  for (const auto& [what, bytes] : damaged) {
    SCOPED_TRACE(what);
    const uint64_t before = PngImagesInflatedWhole();
    const std::string whole = Outcome(bytes, 0);
    const bool wasWhole = PngImagesInflatedWhole() > before;
    const std::string streamed = Outcome(bytes, 1000);  // too little to inflate whole
    EXPECT_EQ(whole, streamed);
    if (what == "intact" || what == "no IEND" || what == "empty IDAT between") {
      EXPECT_TRUE(wasWhole);
      EXPECT_EQ(whole, std::string(noise.begin(), noise.end()));
    }
  }
  EXPECT_NE(Outcome(damaged["IDAT CRC"], 0).find("CRC error"), std::string::npos);
  EXPECT_NE(Outcome(damaged["Adler-32"], 0).find("incorrect data check"), std::string::npos);
  EXPECT_NE(Outcome(damaged["cut inside IDAT"], 0).find("truncated"), std::string::npos);
  // A limit that holds the inflated image but not the data it comes from as well: streamed.
  const uint64_t before = PngImagesInflatedWhole();
  EXPECT_EQ(Outcome(png, 64 * (1 + 128 * 3)), std::string(noise.begin(), noise.end()));
  EXPECT_EQ(PngImagesInflatedWhole(), before);
}

TEST(PngFiles, InterlacedIsDecodedWholeWithTheSamePixels) {
  const std::vector<uint8_t> rgb = Pattern(11, 9);
  PngOptions o;
  o.interlaced = true;
  const std::string png = EncodePng(11, 9, PNG_COLOR_TYPE_RGB, rgb, o);
  ImageInfo info;
  EXPECT_EQ(Decode(png, &info), rgb);
  EXPECT_STREQ(info.decodedWhole, "interlaced PNG");
  ExpectStreamsLikeWhole(png);
  ExpectStreamsLikeWhole(EncodePng(11, 9, PNG_COLOR_TYPE_RGB, rgb));

  ImageOptions tight;
  tight.memoryLimit = 100;
  std::string error;
  EXPECT_TRUE(DecodeBytes(png, tight, &info, &error, "big.png").empty());
  EXPECT_EQ(error, "big.png: needs 297 bytes to decode the image whole (interlaced PNG), more than the limit of 100 bytes (--max-memory changes it)");
}

TEST(PngFiles, TruncatedDataFailsWhileReadingNotAtOpen) {
  const std::string png = EncodePng(64, 64, PNG_COLOR_TYPE_RGB, Pattern(64, 64));
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(png.substr(0, png.size() / 2), "half.png", ImageOptions(), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_TRUE(ReadAllRows(image, info, &error, 8).empty());
  EXPECT_EQ(error, "half.png: truncated PNG file: it ends before the image data does");
  CloseImage(image);
}

TEST(Orientation, EveryExifOrientationInPngWebpAndTiff) {
  const std::vector<uint8_t> rgb = Pattern(3, 2);
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE(o);
    PngOptions png;
    png.exif = ExifOrientationBlock(o, o % 2 == 0);
    TiffOptions tiff;
    tiff.orientation = o;
    for (const std::string& file : {EncodePng(3, 2, PNG_COLOR_TYPE_RGB, rgb, png),
                                    EncodeWebp(3, 2, 3, rgb, ExifOrientationBlock(o)),
                                    EncodeTiff(3, 2, 3, rgb, tiff)}) {
      ImageInfo info;
      EXPECT_EQ(Decode(file, &info), Oriented(rgb, 3, 2, o));
      EXPECT_EQ(info.width, o >= 5 ? 2 : 3);
      EXPECT_EQ(info.orientation, o);
      if (std::string(info.format) != "WebP") {
        EXPECT_EQ(info.decodedWhole == nullptr, o <= 2);
      }
      ExpectStreamsLikeWhole(file);
    }
  }
}

// ---- JPEG -------------------------------------------------------------------------

// 8 x 8 blocks of flat colour: red, green, blue, white.
std::vector<uint8_t> Blocks() {
  const uint8_t colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  std::vector<uint8_t> p;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 32; ++x)
      for (int k = 0; k < 3; ++k) p.push_back(colours[x / 8][k]);
  return p;
}

TEST(JpegFiles, GreyColourAndProgressive) {
  ImageInfo info;
  ExpectNear(Decode(EncodeJpeg(16, 8, 1, std::vector<uint8_t>(128, 77)), &info), std::vector<uint8_t>(128, 77), 1);
  EXPECT_EQ(info.mode, kImageModeGray);
  ExpectNear(Decode(EncodeJpeg(32, 8, 3, Blocks()), &info), Blocks(), 3);
  EXPECT_EQ(info.decodedWhole, nullptr);
  JpegOptions progressive;
  progressive.progressive = true;
  const std::string file = EncodeJpeg(32, 8, 3, Blocks(), progressive);
  ExpectNear(Decode(file, &info), Blocks(), 3);
  EXPECT_STREQ(info.decodedWhole, "progressive JPEG");
  ExpectStreamsLikeWhole(file);
  ExpectStreamsLikeWhole(EncodeJpeg(40, 33, 3, Pattern(40, 33), JpegOptions()), Mode(kImageModeHSL));
}

TEST(JpegFiles, CmykWithAndWithoutAdobesInversionDeliverTheSame) {
  // Inks as the host has them (255 = none): cyan, then paper.
  std::vector<uint8_t> host;
  for (int i = 0; i < 64; ++i) {
    const uint8_t px[4] = {static_cast<uint8_t>(i < 32 ? 0 : 255), 255, 255, 255};
    host.insert(host.end(), px, px + 4);
  }
  std::vector<uint8_t> inks(host.size());
  for (size_t i = 0; i < host.size(); ++i) inks[i] = static_cast<uint8_t>(255 - host[i]);
  JpegOptions adobe, plain;
  plain.adobeMarker = false;
  ImageInfo info;
  ExpectNear(Decode(EncodeJpeg(8, 8, 4, host, adobe), &info), host, 2);
  EXPECT_EQ(info.mode, kImageModeCMYK);
  ExpectNear(Decode(EncodeJpeg(8, 8, 4, inks, plain), &info), host, 2);
  if (ColourTransformsAvailable()) {
    std::vector<uint8_t> rgb = Decode(EncodeJpeg(8, 8, 4, host, adobe), &info, Mode(kImageModeRGB));
    ExpectNear(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 3), {0, 255, 255}, 4);
    ExpectNear(std::vector<uint8_t>(rgb.end() - 3, rgb.end()), {255, 255, 255}, 4);
  }
}

TEST(JpegFiles, ExifOrientationTurnsTheImage) {
  JpegOptions o;
  o.exif = ExifOrientationBlock(6);
  ImageInfo info;
  std::vector<uint8_t> out = Decode(EncodeJpeg(32, 8, 3, Blocks(), o), &info);
  EXPECT_EQ(info.width, 8);
  EXPECT_EQ(info.height, 32);
  EXPECT_STREQ(info.decodedWhole, "EXIF orientation 6 (turned 90 degrees)");
  ExpectNear(out, Oriented(Decode(EncodeJpeg(32, 8, 3, Blocks()), &info), 32, 8, 6), 0);
}

TEST(JpegFiles, TruncationFailsWhileReadingAndDamageIsNotHidden) {
  const std::string jpeg = EncodeJpeg(64, 256, 3, Pattern(64, 256), JpegOptions());
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(jpeg.substr(0, jpeg.size() * 2 / 3), "cut.jpg", ImageOptions(), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_TRUE(ReadAllRows(image, info, &error, 16).empty());
  EXPECT_EQ(error, "cut.jpg: truncated JPEG file: it ends before the image data does");
  CloseImage(image);
  // A marker in the middle of the entropy-coded data.
  std::string damaged = jpeg;
  damaged[jpeg.size() / 2] = '\xFF';
  damaged[jpeg.size() / 2 + 1] = '\xD9';
  EXPECT_TRUE(DecodeBytes(damaged, ImageOptions(), &info, &error, "bad.jpg").empty());
  EXPECT_EQ(error.rfind("bad.jpg: corrupt JPEG data: ", 0), 0u) << error;
}

// ---- TIFF -------------------------------------------------------------------------

TEST(TiffFiles, StripsTilesPlanesAndCompression) {
  const std::vector<uint8_t> rgb = Pattern(20, 19);
  ImageInfo info;
  TiffOptions strips, lzw, tiles, planes, deflateTiles;
  lzw.compression = COMPRESSION_LZW;
  tiles.tiled = true;
  planes.separate = true;
  deflateTiles.tiled = true;
  deflateTiles.separate = true;
  deflateTiles.compression = COMPRESSION_ADOBE_DEFLATE;
  for (const TiffOptions& o : {strips, lzw, tiles, planes, deflateTiles}) {
    const std::string tiff = EncodeTiff(20, 19, 3, rgb, o);
    EXPECT_EQ(Decode(tiff, &info), rgb);
    EXPECT_EQ(info.decodedWhole != nullptr, o.separate);
    ExpectStreamsLikeWhole(tiff);
  }
}

TEST(TiffFiles, GreyPaletteInksAndLab) {
  ImageInfo info;
  TiffOptions grey16;
  grey16.photometric = PHOTOMETRIC_MINISBLACK;
  grey16.bitsPerSample = 16;
  const uint16_t wide[3] = {0, 65535, 32768};
  EXPECT_EQ(Decode(EncodeTiff(3, 1, 1, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(wide),
                                                            reinterpret_cast<const uint8_t*>(wide) + 6), grey16), &info),
            (std::vector<uint8_t>{0, 255, 128}));

  TiffOptions fax;  // 1 bit, 0 = white
  fax.photometric = PHOTOMETRIC_MINISWHITE;
  fax.bitsPerSample = 1;
  EXPECT_EQ(Decode(EncodeTiff(4, 1, 1, {0x60}, fax), &info), (std::vector<uint8_t>{255, 0, 0, 255}));

  TiffOptions palette;
  palette.photometric = PHOTOMETRIC_PALETTE;
  palette.bitsPerSample = 4;
  palette.colourMap.assign(48, 0);
  palette.colourMap[1] = 65535;           // entry 1: red
  palette.colourMap[16 + 2] = 257 * 128;  // entry 2: green 128
  EXPECT_EQ(Decode(EncodeTiff(3, 1, 1, {0x12, 0x00}, palette), &info, Mode(kImageModeIndexed)),
            (std::vector<uint8_t>{1, 2, 0}));
  EXPECT_EQ(info.paletteCount, 16);
  EXPECT_EQ(info.palette[1][0], 255);
  EXPECT_EQ(info.palette[2][1], 128);

  TiffOptions cmyk;  // inks, 0 = none
  cmyk.photometric = PHOTOMETRIC_SEPARATED;
  EXPECT_EQ(Decode(EncodeTiff(2, 1, 4, {255, 0, 0, 0, 0, 0, 0, 10}, cmyk), &info),
            (std::vector<uint8_t>{0, 255, 255, 255, 255, 255, 255, 245}));
  EXPECT_EQ(info.mode, kImageModeCMYK);

  TiffOptions lab;  // a and b signed in the file
  lab.photometric = PHOTOMETRIC_CIELAB;
  EXPECT_EQ(Decode(EncodeTiff(1, 1, 3, {200, 0xF6, 0x14}, lab), &info), (std::vector<uint8_t>{200, 118, 148}));
  EXPECT_EQ(info.mode, kImageModeLab);
}

TEST(TiffFiles, AssociatedAndUnassociatedAlpha) {
  ImageInfo info;
  TiffOptions o;
  o.extraSamples = {EXTRASAMPLE_UNASSALPHA};
  // Black at alpha 128, red opaque.
  const std::string plain = EncodeTiff(2, 1, 4, {0, 0, 0, 128, 255, 0, 0, 255}, o);
  EXPECT_EQ(Decode(plain, &info), (std::vector<uint8_t>{127, 127, 127, 255, 0, 0}));
  EXPECT_EQ(Decode(plain, &info, Mode(kImageModeOwn, true)), (std::vector<uint8_t>{0, 0, 0, 128, 255, 0, 0, 255}));
  o.extraSamples = {EXTRASAMPLE_ASSOCALPHA};
  // Premultiplied grey 64 at alpha 128 is grey 128 at half strength.
  const std::string premultiplied = EncodeTiff(1, 1, 4, {64, 64, 64, 128}, o);
  EXPECT_EQ(Decode(premultiplied, &info), (std::vector<uint8_t>{191, 191, 191}));
  EXPECT_EQ(Decode(premultiplied, &info, Mode(kImageModeOwn, true)), (std::vector<uint8_t>{128, 128, 128, 128}));
}

TEST(TiffFiles, YcbcrThroughLibjpegOrTheRgbaInterface) {
  ImageInfo info;
  std::vector<uint8_t> flat;
  for (int i = 0; i < 16 * 16; ++i) flat.insert(flat.end(), {200, 40, 90});
  TiffOptions jpeg;
  jpeg.photometric = PHOTOMETRIC_YCBCR;
  jpeg.compression = COMPRESSION_JPEG;
  jpeg.jpegYcbcr = true;
  jpeg.rowsPerStrip = 16;
  const std::string compressed = EncodeTiff(16, 16, 3, flat, jpeg);
  ExpectNear(Decode(compressed, &info), flat, 4);
  EXPECT_EQ(info.decodedWhole, nullptr);
  ExpectStreamsLikeWhole(EncodeTiff(16, 32, 3, Pattern(16, 32), jpeg));  // two strips
  // Uncompressed YCbCr, grey 128 and a pure Y of 255.
  TiffOptions raw;
  raw.photometric = PHOTOMETRIC_YCBCR;
  const std::string rgba = EncodeTiff(2, 1, 3, {128, 128, 128, 255, 128, 128}, raw);
  ExpectNear(Decode(rgba, &info), {128, 128, 128, 255, 255, 255}, 1);
  EXPECT_STREQ(info.decodedWhole, "TIFF read through libtiff's RGBA interface");
  ExpectStreamsLikeWhole(rgba);
}

TEST(ImageFilesOnDisk, UnreadableFileAndWrongExtension) {
  char folder[] = "/tmp/gw-image-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/photo.jpg";
  const std::string png = EncodePng(2, 2, PNG_COLOR_TYPE_GRAY, {1, 2, 3, 4});
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(png.data(), 1, png.size(), f);
  std::fclose(f);
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  ASSERT_TRUE(OpenImage(path.c_str(), ImageOptions(), &image, &info, &error)) << error;
  EXPECT_STREQ(info.format, "PNG");
  EXPECT_EQ(ReadAllRows(image, info, &error), (std::vector<uint8_t>{1, 2, 3, 4}));
  CloseImage(image);
  chmod(path.c_str(), 0);
  FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe == nullptr) {
    EXPECT_FALSE(OpenImage(path.c_str(), ImageOptions(), &image, &info, &error));
    EXPECT_EQ(error, path + ": cannot be opened (Permission denied)");
  } else {
    std::fclose(probe);  // a superuser reads everything
  }
  std::remove(path.c_str());
  rmdir(folder);
}

// ---- GIF ---------------------------------------------------------------------------

TEST(GifFiles, IndicesPaletteTransparencyAndPlacement) {
  const std::vector<uint8_t> palette = {0, 0, 0, 255, 0, 0, 0, 0, 255};
  const std::vector<uint8_t> indices = {0, 1, 2, 1, 0, 2};
  ImageInfo info;
  EXPECT_EQ(Decode(EncodeGif(3, 2, palette, indices), &info, Mode(kImageModeIndexed)), indices);
  EXPECT_EQ(info.mode, kImageModeIndexed);
  EXPECT_EQ(info.palette[1][0], 255);
  EXPECT_EQ(Decode(EncodeGif(3, 2, palette, indices), &info, Mode(kImageModeRGB)),
            (std::vector<uint8_t>{0, 0, 0, 255, 0, 0, 0, 0, 255, 255, 0, 0, 0, 0, 0, 0, 0, 255}));

  GifOptions clear;
  clear.transparent = 2;
  EXPECT_EQ(Decode(EncodeGif(3, 2, palette, indices, clear), &info, Mode(kImageModeGray)),
            (std::vector<uint8_t>{0, 76, 255, 76, 0, 255}));
  EXPECT_EQ(Decode(EncodeGif(3, 2, palette, indices, clear), &info, Mode(kImageModeIndexed, true)),
            (std::vector<uint8_t>{0, 255, 1, 255, 2, 0, 1, 255, 0, 255, 2, 0}));

  // A 2 x 1 image at (1, 1) of a 4 x 3 screen whose background is index 2.
  GifOptions placed;
  placed.left = 1;
  placed.top = 1;
  placed.frameWidth = 2;
  placed.frameHeight = 1;
  placed.background = 2;
  EXPECT_EQ(Decode(EncodeGif(4, 3, palette, {1, 0}, placed), &info, Mode(kImageModeIndexed)),
            (std::vector<uint8_t>{2, 2, 2, 2, 2, 1, 0, 2, 2, 2, 2, 2}));
}

TEST(GifFiles, InterlacedIsDecodedWholeWithTheSameIndices) {
  std::vector<uint8_t> palette(3 * 16), indices(7 * 13);
  for (size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<uint8_t>(i * 5);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<uint8_t>(i % 16);
  GifOptions interlaced;
  interlaced.interlaced = true;
  ImageInfo info;
  const std::string gif = EncodeGif(7, 13, palette, indices, interlaced);
  EXPECT_EQ(Decode(gif, &info, Mode(kImageModeIndexed)), indices);
  EXPECT_STREQ(info.decodedWhole, "interlaced GIF");
  ExpectStreamsLikeWhole(gif, Mode(kImageModeIndexed));
  ExpectStreamsLikeWhole(EncodeGif(7, 13, palette, indices), Mode(kImageModeLab));
  std::vector<uint8_t> shifted(indices.size());
  for (size_t i = 0; i < indices.size(); ++i) shifted[i] = static_cast<uint8_t>((i + 5) % 16);
  ExpectStreamsLikeWhole(EncodeGifFrames(7, 13, palette, {indices, shifted}), Frames(kImageModeRGB));
}

// ---- WebP --------------------------------------------------------------------------

TEST(WebpFiles, LosslessLossyAndAlpha) {
  ImageInfo info;
  const std::vector<uint8_t> rgb = Pattern(9, 7);
  EXPECT_EQ(Decode(EncodeWebp(9, 7, 3, rgb), &info), rgb);
  EXPECT_STREQ(info.decodedWhole, "WebP");
  const std::vector<uint8_t> rgba = Pattern(9, 7, 4);
  EXPECT_EQ(Decode(EncodeWebp(9, 7, 4, rgba), &info, Mode(kImageModeOwn, true)), rgba);
  std::vector<uint8_t> flat(16 * 16 * 3, 90);
  ExpectNear(Decode(EncodeWebp(16, 16, 3, flat, std::string(), true), &info), flat, 4);
  ExpectStreamsLikeWhole(EncodeWebp(9, 7, 3, rgb));
  const std::vector<uint8_t> reversed(rgb.rbegin(), rgb.rend());
  ExpectStreamsLikeWhole(EncodeWebpFrames(9, 7, {rgb, reversed}), Frames(kImageModeRGB));
}

}  // namespace
