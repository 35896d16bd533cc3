// gw_image_synth: writes a large synthetic photograph-like image (smooth
// gradients with fine texture) as a baseline JPEG or a non-interlaced PNG,
// a row at a time, so that images far larger than memory can be made for
// measurements without committing them:
//   gw_image_synth jpeg 20000 20000 big.jpg
//   gw_image_synth png 20000 20000 big.png
//   gw_image_synth ppm 6000 4000 big.ppm   (nearly free to decode)
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace {

void FillRow(std::vector<uint8_t>* row, int width, int y) {
  uint32_t noise = static_cast<uint32_t>(y) * 2654435761u + 12345u;
  for (int x = 0; x < width; ++x) {
    noise = noise * 1664525u + 1013904223u;
    int grain = static_cast<int>((noise >> 24) & 15) - 8;
    int r = (x * 255) / (width > 1 ? width - 1 : 1) + grain;
    int g = ((x + y) * 255) / (width + 1) % 256 + grain;
    int b = 255 - (y * 255) / 20000 % 256 + grain;
    (*row)[3 * static_cast<size_t>(x)] = static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
    (*row)[3 * static_cast<size_t>(x) + 1] = static_cast<uint8_t>(g < 0 ? 0 : g > 255 ? 255 : g);
    (*row)[3 * static_cast<size_t>(x) + 2] = static_cast<uint8_t>(b < 0 ? 0 : b > 255 ? 255 : b);
  }
}

int WriteJpeg(FILE* out, int width, int height) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, out);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 85, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    FillRow(&row, width, y);
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&info, &p, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return 0;
}

int WritePng(FILE* out, int width, int height) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) != 0) return 1;
  png_init_io(png, out);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    FillRow(&row, width, y);
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return 0;
}

int WritePpm(FILE* out, int width, int height) {
  std::fprintf(out, "P6\n%d %d\n255\n", width, height);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    FillRow(&row, width, y);
    if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: gw_image_synth jpeg|png|ppm WIDTH HEIGHT OUT\n");
    return 2;
  }
  std::string kind = argv[1];
  int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
  if (width <= 0 || height <= 0 || (kind != "jpeg" && kind != "png" && kind != "ppm")) {
    std::fprintf(stderr, "usage: gw_image_synth jpeg|png|ppm WIDTH HEIGHT OUT\n");
    return 2;
  }
  FILE* out = std::fopen(argv[4], "wb");
  if (out == nullptr) {
    std::perror(argv[4]);
    return 1;
  }
  int result = kind == "jpeg"  ? WriteJpeg(out, width, height)
               : kind == "png" ? WritePng(out, width, height)
                               : WritePpm(out, width, height);
  if (std::fclose(out) != 0) result = 1;
  return result;
}
