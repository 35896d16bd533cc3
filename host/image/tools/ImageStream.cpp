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

// What the command line asks for.
struct Arguments {
  ImageOptions options;
  long bandBytes = 524288;
  const char* path = nullptr;
  bool dump = false;
  bool checksum = true;
  SizeRequest request;
  bool sized = false;  // fitted to the request
  int32_t sizeW = 0, sizeH = 0;
  bool frames = false;
  int plays = 1;
};

// False for anything it does not know.
bool ParseArguments(int argc, char** argv, Arguments* r) {
  ImageOptions& options = r->options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mode" && i + 1 < argc) {
      if (!ParseImageMode(argv[++i], &options.mode)) return false;
    } else if (a == "--no-checksum") {
      r->checksum = false;
    } else if (a == "--dump") {
      r->dump = true;
    } else if (a == "--invert") {
      options.invert = true;
    } else if (a == "--width" && i + 1 < argc) {
      r->request.maxColumns = std::atoi(argv[++i]);
      r->sized = true;
    } else if (a == "--height" && i + 1 < argc) {
      r->request.maxLines = std::atoi(argv[++i]);
      r->sized = true;
    } else if (a == "--cell-aspect" && i + 1 < argc) {
      r->request.cellAspect = std::atof(argv[++i]);
      r->sized = true;
    } else if (a == "--enlarge") {
      r->request.enlarge = true;
      r->sized = true;
    } else if (a == "--size" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d", &r->sizeW, &r->sizeH) != 2) return false;
    } else if (a == "--frame" && i + 1 < argc) {
      options.frame = std::atoi(argv[++i]);
    } else if (a == "--frames") {
      r->frames = true;
      options.animation = true;
    } else if (a == "--plays" && i + 1 < argc) {
      r->plays = std::atoi(argv[++i]);
    } else if (a == "--keep-alpha") {
      options.keepAlpha = true;
    } else if (a == "--band-bytes" && i + 1 < argc) {
      r->bandBytes = std::atol(argv[++i]);
    } else if (a == "--max-memory" && i + 1 < argc) {
      if (!ParseSize(argv[++i], &options.memoryLimit)) return false;
    } else if (r->path == nullptr && (a == "-" || (a.size() > 0 && a[0] != '-'))) {
      r->path = argv[i];
    } else {
      return false;
    }
  }
  return r->path != nullptr && r->bandBytes > 0;
}

// Every frame in turn, `plays` times over (the first frame again after the
// last, as a player does), a line a frame with its delay and checksum.
bool StreamFrames(ImageFile* image, ImageInfo* info, const Arguments& a, uint64_t* hash,
                  std::string* error) {
  std::printf("%d frames, played %d times\n", info->frames, info->loopCount);
  for (int play = 0; play < a.plays; ++play) {
    for (int32_t frame = 1; frame <= info->frames; ++frame) {
      if ((play > 0 || frame > 1) && !ShowImageFrame(image, frame, info, error)) return false;
      if (!StreamRows(image, *info, a.bandBytes, a.dump, a.checksum, hash, error)) return false;
      std::printf("frame %d, %d ms, fnv1a %016llx\n", frame, info->frameDelay,
                  static_cast<unsigned long long>(*hash));
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments a;
  a.options.memoryLimit = kDefaultMemoryLimit;
  a.options.cancel = &gInterrupted;
  std::signal(SIGINT, OnInterrupt);
  if (!ParseArguments(argc, argv, &a)) return Usage();

  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  if (!OpenImage(a.path, a.options, &image, &info, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  int32_t sizeW = a.sizeW, sizeH = a.sizeH;
  if (a.sized && sizeW == 0) FitImageSize(info.width, info.height, info.planes, a.request, &sizeW, &sizeH);
  if (sizeW > 0 && !ResizeImage(image, sizeW, sizeH, &info, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    CloseImage(image);
    return 2;
  }
  uint64_t hash = 0;
  const bool ok = a.frames ? StreamFrames(image, &info, a, &hash, &error)
                           : StreamRows(image, info, a.bandBytes, a.dump, a.checksum, &hash, &error);
  if (!ok) {
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
