// gw_image_stream: streams an image band by band the way the plug-in asks
// for it (whole rows, all planes, top to bottom, bands of at most
// --band-bytes bytes) and prints what it got and a checksum of every byte,
// so that time and peak memory can be measured on the library alone:
//   /usr/bin/time -v build/gw_image_stream --mode rgb big.jpg
// With --width, --height (in characters and lines, as the host counts
// them), --cell-aspect, --enlarge or --size WxH (pixels) the image is
// resized first; --invert inverts it. --frame N streams frame N of an
// animation; --frames streams every frame in turn, --plays N times over
// (the first frame again after the last, as a player does), a line a frame
// with its delay:
//   /usr/bin/time -v build/gw_image_stream --frames --size 80x40 anim.gif
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/image/ImageInput.h"
#include "host/image/stages/Sizing.h"

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

int Usage() {
  std::fprintf(
      stderr,
      "usage: gw_image_stream [--mode MODE] [--keep-alpha] [--invert] [--band-bytes N]\n"
      "       [--max-memory SIZE] [--width N] [--height N] [--cell-aspect R] [--enlarge]\n"
      "       [--size WxH] [--dump | --no-checksum] [--frame N | --frames [--plays N]] FILE\n\n"
      "FILE - is standard input. --max-memory takes bytes or K, M, G (default 1G,\n"
      "0: none). --dump prints every delivered byte, a row a line; --no-checksum\n"
      "leaves the bytes alone, for timing the decoding alone. Ctrl-C interrupts.\n\n%s",
      ImageInputHelp());
  return 2;
}

// "1G", "512M", "100000": bytes.
bool ParseSize(const char* text, uint64_t* bytes) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text) return false;
  int shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10;
  if (*end == 'M' || *end == 'm') shift = 20;
  if (*end == 'G' || *end == 'g') shift = 30;
  if (shift != 0) ++end;
  if (*end != '\0' || value > (UINT64_MAX >> shift)) return false;
  *bytes = static_cast<uint64_t>(value) << shift;
  return true;
}

// Every row of the image as it stands, in bands; false with the message.
bool StreamRows(ImageFile* image, const ImageInfo& info, long bandBytes, bool dump, bool checksum,
                uint64_t* hash, std::string* error) {
  const long rowBytes = info.mode == kImageModeBitmap ? (info.width + 7) / 8
                                                      : static_cast<long>(info.width) * info.planes;
  long rowsPerBand = bandBytes / rowBytes;
  if (rowsPerBand < 1) rowsPerBand = 1;
  if (rowsPerBand > info.height) rowsPerBand = info.height;
  std::vector<uint8_t> band(static_cast<size_t>(rowBytes * rowsPerBand));
  *hash = 14695981039346656037ull;  // FNV-1a over every delivered byte
  for (int32_t top = 0; top < info.height; top += static_cast<int32_t>(rowsPerBand)) {
    int32_t bottom = top + static_cast<int32_t>(rowsPerBand);
    if (bottom > info.height) bottom = info.height;
    if (!ReadImageRows(image, top, bottom, 0, info.width, 0, info.planes - 1, band.data(),
                       static_cast<int32_t>(rowBytes), error)) {
      return false;
    }
    const size_t n = static_cast<size_t>(bottom - top) * static_cast<size_t>(rowBytes);
    for (size_t i = 0; dump && i < n; ++i) {
      std::printf("%3d%c", band[i], (i + 1) % static_cast<size_t>(rowBytes) == 0 ? '\n' : ' ');
    }
    for (size_t i = 0; checksum && i < n; ++i) {
      *hash ^= band[i];
      *hash *= 1099511628211ull;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ImageOptions options;
  options.memoryLimit = kDefaultMemoryLimit;
  options.cancel = &gInterrupted;
  std::signal(SIGINT, OnInterrupt);
  long bandBytes = 524288;
  const char* path = nullptr;
  bool dump = false;
  bool checksum = true;
  SizeRequest request;
  bool sized = false;
  int32_t sizeW = 0, sizeH = 0;
  bool frames = false;
  int plays = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mode" && i + 1 < argc) {
      if (!ParseImageMode(argv[++i], &options.mode)) return Usage();
    } else if (a == "--no-checksum") {
      checksum = false;
    } else if (a == "--dump") {
      dump = true;
    } else if (a == "--invert") {
      options.invert = true;
    } else if (a == "--width" && i + 1 < argc) {
      request.maxColumns = std::atoi(argv[++i]);
      sized = true;
    } else if (a == "--height" && i + 1 < argc) {
      request.maxLines = std::atoi(argv[++i]);
      sized = true;
    } else if (a == "--cell-aspect" && i + 1 < argc) {
      request.cellAspect = std::atof(argv[++i]);
      sized = true;
    } else if (a == "--enlarge") {
      request.enlarge = true;
      sized = true;
    } else if (a == "--size" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d", &sizeW, &sizeH) != 2) return Usage();
    } else if (a == "--frame" && i + 1 < argc) {
      options.frame = std::atoi(argv[++i]);
    } else if (a == "--frames") {
      frames = true;
      options.animation = true;
    } else if (a == "--plays" && i + 1 < argc) {
      plays = std::atoi(argv[++i]);
    } else if (a == "--keep-alpha") {
      options.keepAlpha = true;
    } else if (a == "--band-bytes" && i + 1 < argc) {
      bandBytes = std::atol(argv[++i]);
    } else if (a == "--max-memory" && i + 1 < argc) {
      if (!ParseSize(argv[++i], &options.memoryLimit)) return Usage();
    } else if (path == nullptr && (a == "-" || (a.size() > 0 && a[0] != '-'))) {
      path = argv[i];
    } else {
      return Usage();
    }
  }
  if (path == nullptr || bandBytes <= 0) return Usage();

  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  if (!OpenImage(path, options, &image, &info, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (sized && sizeW == 0) FitImageSize(info.width, info.height, info.planes, request, &sizeW, &sizeH);
  if (sizeW > 0 && !ResizeImage(image, sizeW, sizeH, &info, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    CloseImage(image);
    return 2;
  }
  uint64_t hash = 0;
  if (frames) {
    std::printf("%d frames, played %d times\n", info.frames, info.loopCount);
    for (int play = 0; play < plays && error.empty(); ++play) {
      for (int32_t frame = 1; frame <= info.frames; ++frame) {
        if ((play > 0 || frame > 1) && !ShowImageFrame(image, frame, &info, &error)) break;
        if (!StreamRows(image, info, bandBytes, dump, checksum, &hash, &error)) break;
        std::printf("frame %d, %d ms, fnv1a %016llx\n", frame, info.frameDelay,
                    static_cast<unsigned long long>(hash));
      }
    }
  }
  if (!error.empty() ||
      (!frames && !StreamRows(image, info, bandBytes, dump, checksum, &hash, &error))) {
    std::fprintf(stderr, "%s\n", error.c_str());
    CloseImage(image);
    return 2;
  }
  std::printf("%s %d x %d%s, %s, %d planes%s%s, fnv1a %016llx\n", info.format, info.width,
              info.height, info.decoderScale > 1 ? (" (decoded at 1/" + std::to_string(info.decoderScale) + ")").c_str() : "",
              ImageModeName(info.mode), info.planes,
              info.decodedWhole != nullptr ? ", decoded whole: " : ", streamed",
              info.decodedWhole != nullptr ? info.decodedWhole : "",
              static_cast<unsigned long long>(hash));
  CloseImage(image);
  return 0;
}
