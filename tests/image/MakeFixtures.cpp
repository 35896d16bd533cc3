// gw_image_fixtures OUTDIR: writes small valid images of every format and
// layout the readers handle, OUTDIR/<format>/<layout>.<ext>. They seed the
// fuzz corpora (tests/fuzz/corpus/image_*) and are what
// make_bad_corpus.py damages into tests/data/bad/.
#include <sys/stat.h>

#include <png.h>
#include <tiffio.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Encoders.h"

namespace {

std::string out;

void Write(const std::string& format, const std::string& name, const std::string& bytes) {
  std::string folder = out + "/" + format;
  mkdir(folder.c_str(), 0755);
  std::string path = folder + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || bytes.empty()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<uint8_t> Pattern(int w, int h, int channels) {
  std::vector<uint8_t> p;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) p.push_back(static_cast<uint8_t>(x * 37 + y * 11 + c * 85));
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gw_image_fixtures OUTDIR\n");
    return 2;
  }
  out = argv[1];
  mkdir(out.c_str(), 0755);

  JpegOptions j;
  Write("jpeg", "rgb.jpg", EncodeJpeg(16, 16, 3, Pattern(16, 16, 3), j));
  Write("jpeg", "tall.jpg", EncodeJpeg(64, 256, 3, Pattern(64, 256, 3), j));
  Write("jpeg", "grey.jpg", EncodeJpeg(8, 8, 1, Pattern(8, 8, 1), j));
  Write("jpeg", "cmyk-adobe.jpg", EncodeJpeg(8, 8, 4, Pattern(8, 8, 4), j));
  JpegOptions plain;
  plain.adobeMarker = false;
  Write("jpeg", "cmyk-plain.jpg", EncodeJpeg(8, 8, 4, Pattern(8, 8, 4), plain));
  JpegOptions progressive;
  progressive.progressive = true;
  progressive.quality = 80;
  Write("jpeg", "progressive.jpg", EncodeJpeg(24, 16, 3, Pattern(24, 16, 3), progressive));
  JpegOptions exif;
  exif.exif = ExifOrientationBlock(6);
  Write("jpeg", "exif-6.jpg", EncodeJpeg(16, 8, 3, Pattern(16, 8, 3), exif));

  PngOptions p;
  Write("png", "rgb.png", EncodePng(8, 8, PNG_COLOR_TYPE_RGB, Pattern(8, 8, 3), p));
  Write("png", "tall.png", EncodePng(64, 64, PNG_COLOR_TYPE_RGB, Pattern(64, 64, 3), p));
  Write("png", "rgba.png", EncodePng(8, 8, PNG_COLOR_TYPE_RGB_ALPHA, Pattern(8, 8, 4), p));
  Write("png", "grey-alpha.png", EncodePng(8, 8, PNG_COLOR_TYPE_GRAY_ALPHA, Pattern(8, 8, 2), p));
  PngOptions sixteen;
  sixteen.bitDepth = 16;
  Write("png", "grey16.png", EncodePng(8, 8, PNG_COLOR_TYPE_GRAY, Pattern(8, 16, 1), sixteen));
  PngOptions one;
  one.bitDepth = 1;
  Write("png", "bilevel.png", EncodePng(16, 4, PNG_COLOR_TYPE_GRAY, Pattern(2, 4, 1), one));
  PngOptions palette;
  palette.bitDepth = 4;
  palette.palette = Pattern(16, 1, 3);
  palette.alpha = {255, 128, 0};
  Write("png", "palette4-trns.png", EncodePng(8, 8, PNG_COLOR_TYPE_PALETTE, std::vector<uint8_t>(32, 0x12), palette));
  PngOptions interlaced;
  interlaced.interlaced = true;
  Write("png", "interlaced.png", EncodePng(9, 9, PNG_COLOR_TYPE_RGB, Pattern(9, 9, 3), interlaced));
  PngOptions turned;
  turned.exif = ExifOrientationBlock(8, true);
  Write("png", "exif-8.png", EncodePng(5, 3, PNG_COLOR_TYPE_RGB, Pattern(5, 3, 3), turned));

  TiffOptions t;
  Write("tiff", "rgb.tif", EncodeTiff(8, 8, 3, Pattern(8, 8, 3), t));
  Write("tiff", "tall.tif", EncodeTiff(64, 64, 3, Pattern(64, 64, 3), t));
  TiffOptions lzw;
  lzw.compression = COMPRESSION_LZW;
  Write("tiff", "lzw.tif", EncodeTiff(16, 16, 3, Pattern(16, 16, 3), lzw));
  TiffOptions tiled;
  tiled.tiled = true;
  Write("tiff", "tiled.tif", EncodeTiff(20, 18, 3, Pattern(20, 18, 3), tiled));
  TiffOptions separate;
  separate.separate = true;
  Write("tiff", "separate.tif", EncodeTiff(8, 8, 3, Pattern(8, 8, 3), separate));
  TiffOptions cmyk;
  cmyk.photometric = PHOTOMETRIC_SEPARATED;
  Write("tiff", "cmyk.tif", EncodeTiff(8, 8, 4, Pattern(8, 8, 4), cmyk));
  TiffOptions lab;
  lab.photometric = PHOTOMETRIC_CIELAB;
  Write("tiff", "lab.tif", EncodeTiff(8, 8, 3, Pattern(8, 8, 3), lab));
  TiffOptions pal;
  pal.photometric = PHOTOMETRIC_PALETTE;
  pal.bitsPerSample = 4;
  pal.colourMap.assign(48, 30000);
  Write("tiff", "palette4.tif", EncodeTiff(8, 8, 1, Pattern(4, 8, 1), pal));
  TiffOptions fax;
  fax.photometric = PHOTOMETRIC_MINISWHITE;
  fax.bitsPerSample = 1;
  Write("tiff", "bilevel.tif", EncodeTiff(16, 8, 1, Pattern(2, 8, 1), fax));
  TiffOptions alpha;
  alpha.extraSamples = {EXTRASAMPLE_ASSOCALPHA};
  alpha.orientation = 6;
  Write("tiff", "rgba-assoc-turned.tif", EncodeTiff(8, 4, 4, Pattern(8, 4, 4), alpha));
  TiffOptions ycbcr;
  ycbcr.photometric = PHOTOMETRIC_YCBCR;
  ycbcr.compression = COMPRESSION_JPEG;
  ycbcr.jpegYcbcr = true;
  ycbcr.rowsPerStrip = 16;
  Write("tiff", "jpeg-ycbcr.tif", EncodeTiff(16, 16, 3, Pattern(16, 16, 3), ycbcr));
  TiffOptions raw;
  raw.photometric = PHOTOMETRIC_YCBCR;
  Write("tiff", "ycbcr-rgba.tif", EncodeTiff(8, 8, 3, Pattern(8, 8, 3), raw));
  TiffOptions floats;
  floats.photometric = PHOTOMETRIC_MINISBLACK;
  floats.bitsPerSample = 32;
  floats.sampleFormat = SAMPLEFORMAT_IEEEFP;
  Write("tiff", "float.tif", EncodeTiff(2, 2, 1, std::vector<uint8_t>(16, 0), floats));

  const std::vector<uint8_t> colours = Pattern(16, 1, 3);
  Write("gif", "simple.gif", EncodeGif(8, 8, colours, std::vector<uint8_t>(Pattern(64, 1, 1).size(), 3)));
  std::vector<uint8_t> indices(64);
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<uint8_t>(i % 16);
  Write("gif", "tall.gif", EncodeGif(64, 64, colours, std::vector<uint8_t>(4096, 5)));
  GifOptions interlaced2;
  interlaced2.interlaced = true;
  Write("gif", "interlaced.gif", EncodeGif(8, 8, colours, indices, interlaced2));
  GifOptions placed;
  placed.left = 2;
  placed.top = 3;
  placed.frameWidth = 4;
  placed.frameHeight = 2;
  placed.transparent = 1;
  Write("gif", "placed-transparent.gif", EncodeGif(8, 8, colours, indices, placed));

  Write("webp", "lossless.webp", EncodeWebp(8, 8, 3, Pattern(8, 8, 3)));
  Write("webp", "lossless-alpha.webp", EncodeWebp(8, 8, 4, Pattern(8, 8, 4)));
  Write("webp", "lossy.webp", EncodeWebp(32, 32, 3, Pattern(32, 32, 3), std::string(), true));
  Write("webp", "exif-6.webp", EncodeWebp(6, 4, 3, Pattern(6, 4, 3), ExifOrientationBlock(6)));

  auto pnm = [](const std::string& header, const std::vector<uint8_t>& s) {
    return header + std::string(s.begin(), s.end());
  };
  Write("pnm", "plain.pbm", "P1\n5 2\n1 0 1 0 0\n01011\n");
  Write("pnm", "raw.pbm", pnm("P4\n5 2\n", {0xA0, 0x58}));
  Write("pnm", "plain.pgm", "P2\n# a comment\n3 2\n15\n0 15 7\n1 2 3\n");
  Write("pnm", "raw.pgm", pnm("P5 4 4 255\n", Pattern(4, 4, 1)));
  Write("pnm", "raw16.pgm", pnm("P5 2 2 1000\n", {0, 0, 3, 232, 1, 0, 0, 7}));
  Write("pnm", "plain.ppm", "P3 2 1 255\n255 0 0  0 0 255\n");
  Write("pnm", "raw.ppm", pnm("P6\n4 4\n255\n", Pattern(4, 4, 3)));
  Write("pnm", "rgb-alpha.pam", pnm("P7\nWIDTH 2\nHEIGHT 2\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                                   Pattern(2, 2, 4)));
  Write("pnm", "cmyk.pam", pnm("P7\nWIDTH 2\nHEIGHT 2\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n",
                              Pattern(2, 2, 4)));
  Write("pnm", "five-channels.pam", pnm("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n", Pattern(2, 1, 5)));
  return 0;
}
