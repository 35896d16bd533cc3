#include "Encoders.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>

std::string ExifOrientationBlock(int orientation, bool bigEndian) {
  auto u16 = [&](std::string* s, int v) {
    if (bigEndian) {
      s->push_back(static_cast<char>(v >> 8));
      s->push_back(static_cast<char>(v & 255));
    } else {
      s->push_back(static_cast<char>(v & 255));
      s->push_back(static_cast<char>(v >> 8));
    }
  };
  auto u32 = [&](std::string* s, uint32_t v) {
    if (bigEndian) {
      u16(s, static_cast<int>(v >> 16));
      u16(s, static_cast<int>(v & 0xffff));
    } else {
      u16(s, static_cast<int>(v & 0xffff));
      u16(s, static_cast<int>(v >> 16));
    }
  };
  std::string s = bigEndian ? std::string("MM\0*", 4) : std::string("II*\0", 4);
  u32(&s, 8);
  u16(&s, 1);       // one entry
  u16(&s, 0x0112);  // Orientation
  u16(&s, 3);       // SHORT
  u32(&s, 1);
  u16(&s, orientation);
  u16(&s, 0);
  u32(&s, 0);       // no next directory
  return s;
}

// ---- PNG ---------------------------------------------------------------------------

namespace {

void PngAppend(png_structp png, png_bytep data, size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

void PngFlush(png_structp) {}

}  // namespace

std::string EncodePng(int width, int height, int colourType, const std::vector<uint8_t>& samples,
                      const PngOptions& o) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return std::string();
  }
  png_set_write_fn(png, &out, PngAppend, PngFlush);
  png_set_IHDR(png, info, width, height, o.bitDepth, colourType,
               o.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  for (size_t i = 0; i + 2 < o.palette.size(); i += 3) {
    palette.push_back(png_color{o.palette[i], o.palette[i + 1], o.palette[i + 2]});
  }
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  if (!o.alpha.empty()) {
    png_set_tRNS(png, info, o.alpha.data(), static_cast<int>(o.alpha.size()), nullptr);
  }
  if (!o.exif.empty()) {
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(o.exif.size()),
                   reinterpret_cast<png_bytep>(const_cast<char*>(o.exif.data())));
  }
  png_write_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  std::vector<png_bytep> rows(height);
  for (int y = 0; y < height; ++y) rows[y] = const_cast<uint8_t*>(samples.data()) + y * rowBytes;
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

// ---- JPEG --------------------------------------------------------------------------

std::string EncodeJpeg(int width, int height, int components, const std::vector<uint8_t>& samples,
                       const JpegOptions& o) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, o.quality, TRUE);
  if (components == 4) {
    jpeg_set_colorspace(&info, JCS_CMYK);
    info.write_Adobe_marker = o.adobeMarker ? TRUE : FALSE;
  }
  // No chroma subsampling, so flat colours come back as they went in.
  for (int c = 0; c < info.num_components; ++c) {
    info.comp_info[c].h_samp_factor = 1;
    info.comp_info[c].v_samp_factor = 1;
  }
  if (o.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  if (!o.exif.empty()) {
    std::string app1 = std::string("Exif\0\0", 6) + o.exif;
    jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(app1.data()),
                      static_cast<unsigned>(app1.size()));
  }
  for (int y = 0; y < height; ++y) {
    JSAMPROW row = const_cast<uint8_t*>(samples.data()) + static_cast<size_t>(y) * width * components;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<char*>(buffer), size);
  std::free(buffer);
  return out;
}

// ---- TIFF --------------------------------------------------------------------------

std::string EncodeTiff(int width, int height, int spp, const std::vector<uint8_t>& samples,
                       const TiffOptions& o) {
  char path[] = "/tmp/gw-image-tiff-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return std::string();
  TIFF* tif = TIFFFdOpen(fd, path, "w");
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, o.bitsPerSample);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, o.photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, o.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, o.compression);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, o.orientation);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, o.sampleFormat);
  if (o.photometric == PHOTOMETRIC_YCBCR) {
    if (o.jpegYcbcr) {
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
    } else {
      TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);
    }
  }
  if (!o.extraSamples.empty()) {
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(o.extraSamples.size()),
                 o.extraSamples.data());
  }
  if (!o.colourMap.empty()) {
    const size_t n = o.colourMap.size() / 3;
    TIFFSetField(tif, TIFFTAG_COLORMAP, o.colourMap.data(), o.colourMap.data() + n,
                 o.colourMap.data() + 2 * n);
  }
  const int bits = o.bitsPerSample;
  if (o.tiled) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, o.rowsPerStrip);
  }
  // Rows of one plane (separate) or of all samples, packed.
  const int planes = o.separate ? spp : 1;
  const int perPixel = o.separate ? 1 : spp;
  const size_t rowBytes = (static_cast<size_t>(width) * perPixel * bits + 7) / 8;
  const size_t interleavedRow = (static_cast<size_t>(width) * spp * bits + 7) / 8;
  for (int p = 0; p < planes; ++p) {
    std::vector<uint8_t> plane(rowBytes * height);
    for (int y = 0; y < height; ++y) {
      if (!o.separate) {
        std::memcpy(plane.data() + y * rowBytes, samples.data() + y * interleavedRow, rowBytes);
      } else {
        const int bytes = bits / 8;  // separate planes: 8 or 16 bits only
        for (int x = 0; x < width; ++x) {
          std::memcpy(plane.data() + y * rowBytes + x * bytes,
                      samples.data() + y * interleavedRow + (static_cast<size_t>(x) * spp + p) * bytes, bytes);
        }
      }
    }
    if (o.tiled) {
      const size_t tileRow = 16 * static_cast<size_t>(perPixel) * bits / 8;
      std::vector<uint8_t> tile(tileRow * 16);
      for (int ty = 0; ty < height; ty += 16) {
        for (int tx = 0; tx < width; tx += 16) {
          std::fill(tile.begin(), tile.end(), 0);
          for (int r = 0; r < 16 && ty + r < height; ++r) {
            size_t from = (static_cast<size_t>(tx) * perPixel * bits) / 8;
            size_t take = std::min(tileRow, rowBytes - from);
            std::memcpy(tile.data() + r * tileRow, plane.data() + (ty + r) * rowBytes + from, take);
          }
          TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(p));
        }
      }
    } else {
      for (int y = 0; y < height; ++y) {
        TIFFWriteScanline(tif, plane.data() + y * rowBytes, y, static_cast<uint16_t>(p));
      }
    }
  }
  TIFFClose(tif);
  std::string out;
  if (FILE* f = std::fopen(path, "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
  }
  std::remove(path);
  return out;
}

// ---- GIF ---------------------------------------------------------------------------

namespace {

int GifAppend(GifFileType* gif, const GifByteType* data, int length) {
  static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(data), length);
  return length;
}

}  // namespace

std::string EncodeGif(int width, int height, const std::vector<uint8_t>& paletteRgb,
                      const std::vector<uint8_t>& indices, const GifOptions& o) {
  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, GifAppend, &error);
  int colours = static_cast<int>(paletteRgb.size() / 3);
  int mapSize = 2;
  while (mapSize < colours) mapSize *= 2;
  std::vector<GifColorType> entries(mapSize, GifColorType{0, 0, 0});
  for (int i = 0; i < colours; ++i) {
    entries[i] = GifColorType{paletteRgb[3 * i], paletteRgb[3 * i + 1], paletteRgb[3 * i + 2]};
  }
  ColorMapObject* map = GifMakeMapObject(mapSize, entries.data());
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, width, height, 8, o.background, map);
  if (o.transparent >= 0) {
    GifByteType control[4] = {1, 0, 0, static_cast<GifByteType>(o.transparent)};
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
  }
  int fw = o.frameWidth > 0 ? o.frameWidth : width;
  int fh = o.frameHeight > 0 ? o.frameHeight : height;
  EGifPutImageDesc(gif, o.left, o.top, fw, fh, o.interlaced, nullptr);
  std::vector<GifPixelType> line(fw);
  static const int start[4] = {0, 4, 2, 1};
  static const int step[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < (o.interlaced ? 4 : 1); ++pass) {
    for (int y = o.interlaced ? start[pass] : 0; y < fh; y += o.interlaced ? step[pass] : 1) {
      for (int x = 0; x < fw; ++x) line[x] = indices[static_cast<size_t>(y) * fw + x];
      EGifPutLine(gif, line.data(), fw);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

std::string EncodeGifFrames(int width, int height, const std::vector<uint8_t>& paletteRgb,
                            const std::vector<std::vector<uint8_t>>& frames) {
  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, GifAppend, &error);
  int mapSize = 2;
  while (mapSize < static_cast<int>(paletteRgb.size() / 3)) mapSize *= 2;
  std::vector<GifColorType> entries(mapSize, GifColorType{0, 0, 0});
  for (size_t i = 0; i < paletteRgb.size() / 3; ++i) {
    entries[i] = GifColorType{paletteRgb[3 * i], paletteRgb[3 * i + 1], paletteRgb[3 * i + 2]};
  }
  ColorMapObject* map = GifMakeMapObject(mapSize, entries.data());
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, width, height, 8, 0, map);
  for (const std::vector<uint8_t>& indices : frames) {
    EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
    for (int y = 0; y < height; ++y) {
      std::vector<GifPixelType> line(indices.begin() + y * width, indices.begin() + (y + 1) * width);
      EGifPutLine(gif, line.data(), width);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

// ---- WebP --------------------------------------------------------------------------

namespace {

void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>((v >> (8 * i)) & 255));
}

void Put24(std::string* s, uint32_t v) {
  for (int i = 0; i < 3; ++i) s->push_back(static_cast<char>((v >> (8 * i)) & 255));
}

std::string Chunk(const char* tag, const std::string& payload) {
  std::string s(tag, 4);
  Put32(&s, static_cast<uint32_t>(payload.size()));
  s += payload;
  if (payload.size() % 2 != 0) s.push_back('\0');
  return s;
}

}  // namespace

std::string EncodeWebp(int width, int height, int channels, const std::vector<uint8_t>& pixels,
                       const std::string& exif, bool lossy) {
  uint8_t* data = nullptr;
  size_t size = 0;
  const int stride = width * channels;
  if (lossy) {
    size = channels == 4 ? WebPEncodeRGBA(pixels.data(), width, height, stride, 90, &data)
                         : WebPEncodeRGB(pixels.data(), width, height, stride, 90, &data);
  } else {
    size = channels == 4 ? WebPEncodeLosslessRGBA(pixels.data(), width, height, stride, &data)
                         : WebPEncodeLosslessRGB(pixels.data(), width, height, stride, &data);
  }
  std::string simple(reinterpret_cast<char*>(data), size);
  WebPFree(data);
  if (exif.empty()) return simple;
  // The extended format: VP8X, the image's own chunk, EXIF.
  std::string image = simple.substr(12);
  std::string vp8x;
  uint32_t flags = 0x08;  // EXIF
  if (channels == 4) flags |= 0x10;
  Put32(&vp8x, flags);
  Put24(&vp8x, static_cast<uint32_t>(width - 1));
  Put24(&vp8x, static_cast<uint32_t>(height - 1));
  std::string body = "WEBP" + Chunk("VP8X", vp8x) + image + Chunk("EXIF", exif);
  std::string out = "RIFF";
  Put32(&out, static_cast<uint32_t>(body.size()));
  return out + body;
}

std::string EncodeWebpFrames(int width, int height, const std::vector<std::vector<uint8_t>>& frames) {
  std::string vp8x, anim, body = "WEBP";
  Put32(&vp8x, 0x02 | 0x10);  // animation, alpha
  Put24(&vp8x, static_cast<uint32_t>(width - 1));
  Put24(&vp8x, static_cast<uint32_t>(height - 1));
  body += Chunk("VP8X", vp8x);
  Put32(&anim, 0);  // background
  anim += std::string(2, '\0');  // loop forever
  body += Chunk("ANIM", anim);
  for (const std::vector<uint8_t>& rgb : frames) {
    std::string frame;
    Put24(&frame, 0);  // at (0, 0)
    Put24(&frame, 0);
    Put24(&frame, static_cast<uint32_t>(width - 1));
    Put24(&frame, static_cast<uint32_t>(height - 1));
    Put24(&frame, 100);                  // ms
    frame.push_back(static_cast<char>(2));  // no blending, no disposal
    frame += EncodeWebp(width, height, 3, rgb).substr(12);  // its VP8L chunk
    body += Chunk("ANMF", frame);
  }
  std::string out = "RIFF";
  Put32(&out, static_cast<uint32_t>(body.size()));
  return out + body;
}
