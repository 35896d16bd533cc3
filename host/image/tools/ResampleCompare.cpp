// gw_resample_compare: the measurements behind the choice of resampling
// library (built only where libvips, pixman and libswscale are installed;
// the host needs none of them).
//
//   gw_resample_compare quality
//       stripes and checkers of 1-pixel period shrunk by every library:
//       how far the result strays from the flat grey it should be, and
//       whether flat images of every level stay flat
//   gw_resample_compare speed LIBRARY FILE WIDTH HEIGHT [REPEAT]
//       the image decoded into memory first, then resampled REPEAT times
//   gw_resample_compare stream LIBRARY FILE WIDTH HEIGHT
//       decoded band by band and resampled as the rows come, for peak
//       memory under /usr/bin/time -v
//
// LIBRARY: zimg (the host's Resampler: box for large factors, then zimg's
// Lanczos 3 on bands), zimg-whole (zimg alone, one graph for the whole
// image), swscale-lanczos (libswscale alone, whole image; the host used it
// before, after the same box), pixman-box, pixman-lanczos (separable
// convolution), vips (vips_resize, Lanczos 3).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#include <pixman.h>
#include <vips/vips.h>
#include <zimg.h>

#include "host/image/ImageInput.h"
#include "host/image/stages/Resample.h"

namespace {

struct Picture {
  int width = 0, height = 0, channels = 3;
  std::vector<uint8_t> pixels;
};

Picture ResampleStreamed(const Picture& in, int w, int h) {
  Picture out{w, h, in.channels, {}};
  std::string error;
  Resampler* r = NewResampler(in.width, in.height, w, h, in.channels, nullptr, &error);
  if (r == nullptr) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  const size_t row = static_cast<size_t>(in.width) * static_cast<size_t>(in.channels);
  for (int y = 0; y < in.height; ++y) {
    ResamplerPush(r, in.pixels.data() + static_cast<size_t>(y) * row, &error);
    ResamplerMake(r, ResamplerEndRow(r), &error);
    for (int k = ResamplerFirstRow(r); k < ResamplerEndRow(r); ++k) {
      const uint8_t* p = ResamplerRow(r, k);
      out.pixels.insert(out.pixels.end(), p, p + static_cast<size_t>(w) * static_cast<size_t>(in.channels));
    }
    ResamplerDrop(r, ResamplerEndRow(r));
  }
  FreeResampler(r);
  return out;
}

// zimg on its own, each channel a grey plane, the whole image at once.
Picture ResampleZimgWhole(const Picture& in, int w, int h) {
  Picture out{w, h, in.channels, {}};
  const size_t c = static_cast<size_t>(in.channels);
  out.pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * c);
  zimg_image_format from, to;
  zimg_image_format_default(&from, ZIMG_API_VERSION);
  from.width = static_cast<unsigned>(in.width);
  from.height = static_cast<unsigned>(in.height);
  from.pixel_type = ZIMG_PIXEL_BYTE;
  from.color_family = ZIMG_COLOR_GREY;
  from.pixel_range = ZIMG_RANGE_FULL;
  to = from;
  to.width = static_cast<unsigned>(w);
  to.height = static_cast<unsigned>(h);
  zimg_graph_builder_params params;
  zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
  params.resample_filter = ZIMG_RESIZE_LANCZOS;
  params.filter_param_a = 3;
  zimg_filter_graph* graph = zimg_filter_graph_build(&from, &to, &params);
  size_t tmpBytes = 0;
  zimg_filter_graph_get_tmp_size(graph, &tmpBytes);
  const size_t inStride = (static_cast<size_t>(in.width) + 63) & ~size_t{63};
  const size_t outStride = (static_cast<size_t>(w) + 63) & ~size_t{63};
  void* tmp = std::aligned_alloc(64, (tmpBytes + 63) & ~size_t{63});
  uint8_t* plane = static_cast<uint8_t*>(std::aligned_alloc(64, inStride * static_cast<size_t>(in.height)));
  uint8_t* result = static_cast<uint8_t*>(std::aligned_alloc(64, outStride * static_cast<size_t>(h)));
  for (size_t k = 0; k < c; ++k) {
    for (size_t y = 0; y < static_cast<size_t>(in.height); ++y)
      for (size_t x = 0; x < static_cast<size_t>(in.width); ++x)
        plane[y * inStride + x] = in.pixels[(y * static_cast<size_t>(in.width) + x) * c + k];
    zimg_image_buffer_const src{};
    src.version = ZIMG_API_VERSION;
    src.plane[0] = {plane, static_cast<ptrdiff_t>(inStride), ZIMG_BUFFER_MAX};
    zimg_image_buffer dst{};
    dst.version = ZIMG_API_VERSION;
    dst.plane[0] = {result, static_cast<ptrdiff_t>(outStride), ZIMG_BUFFER_MAX};
    zimg_filter_graph_process(graph, &src, &dst, tmp, nullptr, nullptr, nullptr, nullptr);
    for (size_t y = 0; y < static_cast<size_t>(h); ++y)
      for (size_t x = 0; x < static_cast<size_t>(w); ++x)
        out.pixels[(y * static_cast<size_t>(w) + x) * c + k] = result[y * outStride + x];
  }
  std::free(tmp);
  std::free(plane);
  std::free(result);
  zimg_filter_graph_free(graph);
  return out;
}

// libswscale on its own, each channel a grey plane, the whole image at once.
Picture ResampleSwscaleLanczos(const Picture& in, int w, int h) {
  Picture out{w, h, in.channels, {}};
  out.pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(in.channels));
  std::vector<uint8_t> plane(static_cast<size_t>(in.width) * static_cast<size_t>(in.height));
  std::vector<uint8_t> result(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (int k = 0; k < in.channels; ++k) {
    for (size_t i = 0; i < plane.size(); ++i) plane[i] = in.pixels[i * static_cast<size_t>(in.channels) + static_cast<size_t>(k)];
    SwsContext* c = sws_getContext(in.width, in.height, AV_PIX_FMT_GRAY8, w, h, AV_PIX_FMT_GRAY8,
                                   SWS_LANCZOS | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr);
    const uint8_t* src[4] = {plane.data()};
    const int srcStride[4] = {in.width};
    uint8_t* dst[4] = {result.data()};
    const int dstStride[4] = {w};
    sws_scale(c, src, srcStride, 0, in.height, dst, dstStride);
    sws_freeContext(c);
    for (size_t i = 0; i < result.size(); ++i) out.pixels[i * static_cast<size_t>(in.channels) + static_cast<size_t>(k)] = result[i];
  }
  return out;
}

Picture ResamplePixman(const Picture& in, int w, int h, pixman_kernel_t kernel) {
  // x8r8g8b8 carries up to three channels.
  std::vector<uint32_t> src(static_cast<size_t>(in.width) * static_cast<size_t>(in.height));
  const int c = in.channels;
  for (size_t i = 0; i < src.size(); ++i) {
    const uint8_t* p = &in.pixels[i * static_cast<size_t>(c)];
    src[i] = 0xFF000000u | static_cast<uint32_t>(p[0]) << 16 |
             static_cast<uint32_t>(p[c > 1 ? 1 : 0]) << 8 | p[c > 2 ? 2 : 0];
  }
  std::vector<uint32_t> dst(static_cast<size_t>(w) * static_cast<size_t>(h));
  pixman_image_t* s = pixman_image_create_bits(PIXMAN_x8r8g8b8, in.width, in.height, src.data(), in.width * 4);
  pixman_image_t* d = pixman_image_create_bits(PIXMAN_x8r8g8b8, w, h, dst.data(), w * 4);
  pixman_transform_t t;
  const double sx = static_cast<double>(in.width) / w, sy = static_cast<double>(in.height) / h;
  pixman_transform_init_scale(&t, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
  pixman_image_set_transform(s, &t);
  int n = 0;
  pixman_fixed_t* params = pixman_filter_create_separable_convolution(
      &n, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy), PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX,
      kernel, kernel, 4, 4);
  pixman_image_set_filter(s, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n);
  pixman_image_set_repeat(s, PIXMAN_REPEAT_PAD);
  pixman_image_composite32(PIXMAN_OP_SRC, s, nullptr, d, 0, 0, 0, 0, 0, 0, w, h);
  std::free(params);
  pixman_image_unref(s);
  pixman_image_unref(d);
  Picture out{w, h, c, {}};
  for (uint32_t v : dst) {
    const uint8_t rgb[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    out.pixels.insert(out.pixels.end(), rgb, rgb + c);
  }
  return out;
}

Picture FromVips(VipsImage* in, int w, int h, int channels) {
  VipsImage* out = nullptr;
  if (vips_resize(in, &out, static_cast<double>(w) / in->Xsize, "vscale",
                  static_cast<double>(h) / in->Ysize, nullptr) != 0) {
    std::fprintf(stderr, "vips: %s\n", vips_error_buffer());
    std::exit(1);
  }
  size_t size = 0;
  void* data = vips_image_write_to_memory(out, &size);
  Picture result{out->Xsize, out->Ysize, channels, {}};
  result.pixels.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
  g_free(data);
  g_object_unref(out);
  return result;
}

Picture ResampleVips(const Picture& in, int w, int h) {
  VipsImage* image = vips_image_new_from_memory(in.pixels.data(), in.pixels.size(), in.width, in.height,
                                                in.channels, VIPS_FORMAT_UCHAR);
  Picture out = FromVips(image, w, h, in.channels);
  g_object_unref(image);
  return out;
}

Picture Resample(const std::string& library, const Picture& in, int w, int h) {
  if (library == "zimg") return ResampleStreamed(in, w, h);
  if (library == "zimg-whole") return ResampleZimgWhole(in, w, h);
  if (library == "swscale-lanczos") return ResampleSwscaleLanczos(in, w, h);
  if (library == "pixman-box") return ResamplePixman(in, w, h, PIXMAN_KERNEL_BOX);
  if (library == "pixman-lanczos") return ResamplePixman(in, w, h, PIXMAN_KERNEL_LANCZOS3);
  if (library == "vips") return ResampleVips(in, w, h);
  std::fprintf(stderr, "unknown library %s\n", library.c_str());
  std::exit(2);
}

const char* const kLibraries[] = {"zimg", "zimg-whole", "swscale-lanczos", "pixman-box", "pixman-lanczos", "vips"};

int Quality() {
  struct Pattern {
    const char* name;
    int (*value)(int x, int y);
    double ideal;
  };
  const Pattern patterns[] = {
      {"stripes 0,255", [](int x, int) { return x % 2 != 0 ? 255 : 0; }, 127.5},
      {"stripes 0,0,255", [](int x, int) { return x % 3 == 2 ? 255 : 0; }, 85},
      {"checker", [](int x, int y) { return (x + y) % 2 != 0 ? 255 : 0; }, 127.5},
  };
  const int sizes[][2] = {{93, 71}, {300, 200}, {500, 500}, {37, 501}};
  std::printf("1000 x 1000 grey pattern to each size: worst and rms distance from the flat ideal\n");
  for (const char* library : kLibraries) {
    std::printf("%-16s", library);
    for (const Pattern& p : patterns) {
      double worst = 0, squares = 0;
      size_t count = 0;
      for (const auto& size : sizes) {
        Picture in{1000, 1000, 1, {}};
        for (int y = 0; y < 1000; ++y)
          for (int x = 0; x < 1000; ++x) in.pixels.push_back(static_cast<uint8_t>(p.value(x, y)));
        Picture out = Resample(library, in, size[0], size[1]);
        // Leave out the outermost pixels, where each library meets the edge its own way.
        for (int y = 1; y + 1 < out.height; ++y)
          for (int x = 1; x + 1 < out.width; ++x) {
            double d = out.pixels[static_cast<size_t>(y) * static_cast<size_t>(out.width) + static_cast<size_t>(x)] - p.ideal;
            worst = std::max(worst, std::fabs(d));
            squares += d * d;
            ++count;
          }
      }
      std::printf("  %s: %5.1f %5.1f", p.name, worst, std::sqrt(squares / static_cast<double>(count)));
    }
    int shifted = 0;
    for (int level = 0; level < 256; ++level) {
      Picture in{997, 613, 1, std::vector<uint8_t>(997 * 613, static_cast<uint8_t>(level))};
      Picture out = Resample(library, in, 120, 77);
      for (uint8_t v : out.pixels) {
        if (v != level) {
          ++shifted;
          break;
        }
      }
    }
    std::printf("  flat levels changed: %d\n", shifted);
  }
  return 0;
}

ImageFile* Open(const char* path, ImageInfo* info) {
  ImageFile* image = nullptr;
  std::string error;
  ImageOptions options;
  options.mode = kImageModeRGB;
  if (!OpenImage(path, options, &image, info, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(2);
  }
  return image;
}

bool ReadRows(ImageFile* image, const ImageInfo& info, int top, int count, uint8_t* out) {
  std::string error;
  if (!ReadImageRows(image, top, top + count, 0, info.width, 0, 2, out, info.width * 3, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  return true;
}

Picture DecodeWhole(const char* path) {
  ImageInfo info;
  ImageFile* image = Open(path, &info);
  Picture p{info.width, info.height, 3, {}};
  p.pixels.resize(static_cast<size_t>(info.width) * static_cast<size_t>(info.height) * 3);
  if (!ReadRows(image, info, 0, info.height, p.pixels.data())) std::exit(2);
  CloseImage(image);
  return p;
}

uint64_t Checksum(const Picture& p) {
  uint64_t hash = 14695981039346656037ull;
  for (uint8_t b : p.pixels) hash = (hash ^ b) * 1099511628211ull;
  return hash;
}

// A PPM byte stream of the image's rows, decoded as libvips reads it.
struct PpmFeed {
  ImageFile* image;
  ImageInfo info;
  std::string pending;  // bytes made and not yet taken
  int nextRow = 0;
};

gint64 FeedPpm(VipsSourceCustom*, void* buffer, gint64 length, void* user) {
  PpmFeed* f = static_cast<PpmFeed*>(user);
  if (f->pending.empty() && f->nextRow < f->info.height) {
    const int rows = std::min(64, f->info.height - f->nextRow);
    std::string band(static_cast<size_t>(rows) * static_cast<size_t>(f->info.width) * 3, '\0');
    if (!ReadRows(f->image, f->info, f->nextRow, rows, reinterpret_cast<uint8_t*>(&band[0]))) return -1;
    f->nextRow += rows;
    f->pending = std::move(band);
  }
  const size_t n = std::min(static_cast<size_t>(length), f->pending.size());
  std::memcpy(buffer, f->pending.data(), n);
  f->pending.erase(0, n);
  return static_cast<gint64>(n);
}

Picture StreamVips(const char* path, int w, int h) {
  PpmFeed feed;
  feed.image = Open(path, &feed.info);
  feed.pending = "P6\n" + std::to_string(feed.info.width) + " " + std::to_string(feed.info.height) + "\n255\n";
  VipsSourceCustom* source = vips_source_custom_new();
  g_signal_connect(source, "read", G_CALLBACK(FeedPpm), &feed);
  VipsImage* in = vips_image_new_from_source(VIPS_SOURCE(source), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  if (in == nullptr) {
    std::fprintf(stderr, "vips: %s\n", vips_error_buffer());
    std::exit(1);
  }
  Picture out = FromVips(in, w, h, 3);
  g_object_unref(in);
  g_object_unref(source);
  CloseImage(feed.image);
  return out;
}

Picture StreamResampler(const char* path, int w, int h) {
  ImageInfo info;
  ImageFile* image = Open(path, &info);
  std::string error;
  Resampler* r = NewResampler(info.width, info.height, w, h, 3, nullptr, &error);
  Picture out{w, h, 3, {}};
  std::vector<uint8_t> band(static_cast<size_t>(info.width) * 3 * 64);
  for (int top = 0; top < info.height; top += 64) {
    const int rows = std::min(64, info.height - top);
    if (!ReadRows(image, info, top, rows, band.data())) std::exit(2);
    // Rows are made as each source row comes: a later one may push out of
    // the resampler's ring the rows that earlier bands need.
    for (int y = 0; y < rows; ++y) {
      ResamplerPush(r, band.data() + static_cast<size_t>(y) * static_cast<size_t>(info.width) * 3, &error);
      ResamplerMake(r, ResamplerEndRow(r), &error);
      for (int k = ResamplerFirstRow(r); k < ResamplerEndRow(r); ++k) {
        const uint8_t* p = ResamplerRow(r, k);
        out.pixels.insert(out.pixels.end(), p, p + static_cast<size_t>(w) * 3);
      }
      ResamplerDrop(r, ResamplerEndRow(r));
    }
  }
  FreeResampler(r);
  CloseImage(image);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0]) != 0) return 1;
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "quality") return Quality();
  if ((what == "speed" || what == "stream") && argc >= 6) {
    const std::string library = argv[2];
    const int w = std::atoi(argv[4]), h = std::atoi(argv[5]);
    Picture out;
    if (what == "stream") {
      if (library == "vips") {
        out = StreamVips(argv[3], w, h);
      } else if (library == "zimg") {
        out = StreamResampler(argv[3], w, h);
      } else {
        // The others take the image as one raster.
        out = Resample(library, DecodeWhole(argv[3]), w, h);
      }
    } else {
      const Picture in = DecodeWhole(argv[3]);
      const int repeat = argc > 6 ? std::atoi(argv[6]) : 5;
      double best = 1e30;
      for (int i = 0; i < repeat; ++i) {
        auto start = std::chrono::steady_clock::now();
        out = Resample(library, in, w, h);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, ms);
      }
      std::printf("%s: best of %d: %.1f ms\n", library.c_str(), repeat, best);
    }
    std::printf("%s: %d x %d, fnv1a %016llx\n", library.c_str(), out.width, out.height,
                static_cast<unsigned long long>(Checksum(out)));
    return 0;
  }
  std::fprintf(stderr, "usage: gw_resample_compare quality | speed|stream LIBRARY FILE WIDTH HEIGHT [REPEAT]\n");
  return 2;
}
