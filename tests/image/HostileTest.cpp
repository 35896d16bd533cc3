// Hostile input: the memory budget across a whole decode and its libraries,
// interrupts during whole decodes, and devices, sockets, pipes and
// standard input in place of image files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "Encoders.h"
#include "ImageTestSupport.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/budget/MemoryBudget.h"

namespace {

const std::string kSeeds = GW_IMAGE_TEST_DATA "/../fuzz/corpus/";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ImageOptions Budget(uint64_t bytes) {
  ImageOptions options;
  options.memoryLimit = bytes;
  return options;
}

// GIF LZW for `pixels` copies of index 1 at the best ratio the format has:
// each code one pixel longer than the last, then the longest over and over.
std::string LzwRun(uint64_t pixels) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0, size = 3;
  auto put = [&](uint32_t code) {
    acc |= code << bits;
    for (bits += size; bits >= 8; bits -= 8, acc >>= 8) out += static_cast<char>(acc & 255);
  };
  put(4);
  put(1);
  uint64_t left = pixels - 1, length = 1;
  uint32_t next = 6;
  while (left > 0) {
    uint32_t code = 1;
    if (next < 4096) {
      code = length + 1 <= left ? next : 1;
      length = code == next ? length + 1 : 1;
      ++next;
    } else {
      code = left >= 4091 ? 4095 : 1;
      length = code == 4095 ? 4091 : 1;
    }
    put(code);
    left -= length;
    if (next >= (1u << size) && size < 12) ++size;
  }
  put(5);
  if (bits > 0) out += static_cast<char>(acc & 255);
  return out;
}

std::string GifFrame(int sw, int sh, int fw, int fh, bool interlaced) {
  auto u16 = [](int v) { return std::string{static_cast<char>(v & 255), static_cast<char>(v >> 8)}; };
  std::string gif = "GIF89a" + u16(sw) + u16(sh) + std::string("\x80\0\0\0\0\0\xff\xff\xff", 9);
  gif += "," + u16(0) + u16(0) + u16(fw) + u16(fh) + std::string(1, interlaced ? '\x40' : '\0') + "\x02";
  const std::string codes = LzwRun(static_cast<uint64_t>(fw) * static_cast<uint64_t>(fh));
  for (size_t i = 0; i < codes.size(); i += 255) {
    std::string part = codes.substr(i, 255);
    gif += static_cast<char>(part.size()) + part;
  }
  return gif + std::string("\0;", 2);
}

// The message of the first row's read (a whole decode happens there).
std::string FailureOf(const std::string& bytes, const ImageOptions& options, const char* name = "hostile") {
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(bytes, name, options, &info, &error);
  if (image == nullptr) return error;
  std::vector<uint8_t> row(static_cast<size_t>(info.width) * static_cast<size_t>(info.planes));
  EXPECT_FALSE(ReadImageRows(image, 0, 1, 0, info.width, 0, info.planes - 1, row.data(),
                             static_cast<int32_t>(row.size()), &error)) << name << " was read";
  CloseImage(image);
  return error;
}

TEST(MemoryBudget, HugeCanvasesAndFramesAreRefusedOrClippedBeforeMemoryIsTaken) {
  // 90 bytes, a 32767 x 32767 canvas of 1 x 1 frames: 4 GB of canvas.
  EXPECT_EQ(FailureOf(ReadFile(kSeeds + "image_webp/hostile-animated-canvas-32767.webp"), Budget(kDefaultMemoryLimit)),
            "hostile: needs 4096 MB to decode the image whole (animated WebP), more than the limit of "
            "1024 MB (--max-memory changes it)");
  // A 4096 x 4096 interlaced frame on a 1 x 1 screen takes one byte, not 16 MB.
  ImageInfo info;
  std::string error;
  ImageOptions indices = Budget(1 << 20);
  indices.mode = kImageModeIndexed;
  EXPECT_EQ(DecodeBytes(ReadFile(kSeeds + "image_gif/hostile-frame-4096-on-1x1-screen.gif"), indices, &info, &error),
            std::vector<uint8_t>{1})
      << error;
  // A frame larger than its screen, placed at (3, 2) on 20 x 10: the visible
  // part only, the rest background (index 0).
  indices.memoryLimit = 200;
  std::vector<uint8_t> screen = DecodeBytes(ReadFile(kSeeds + "image_gif/hostile-frame-larger-than-screen.gif"),
                                            indices, &info, &error);
  ASSERT_EQ(screen.size(), 200u) << error;
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 20; ++x) EXPECT_EQ(screen[y * 20 + x], x >= 3 && y >= 2 ? 1 : 0) << x << "," << y;
  }
  // 2.4 KB of TIFF whose strips all point at one deflate block, turned by
  // its orientation: 48 MB held whole.
  EXPECT_EQ(FailureOf(ReadFile(kSeeds + "image_tiff/hostile-strips-share-one-block-turned.tif"), Budget(16 << 20)),
            "hostile: needs 48 MB to decode the image whole (EXIF orientation 6 (turned 90 degrees)), more than "
            "the limit of 16 MB (--max-memory changes it)");
}

TEST(MemoryBudget, ALibrarysOwnBuffersCountWithTheImageHeldWhole) {
  // A progressive 256 x 256 JPEG (no chroma subsampling) keeps 384 KB of
  // coefficients and some 176 KB of libjpeg's working buffers; turned by
  // its EXIF orientation it is also held whole (192 KB of RGB): 752 KB.
  JpegOptions progressive;
  progressive.progressive = true;
  progressive.exif = ExifOrientationBlock(6);
  const std::string jpeg = EncodeJpeg(256, 256, 3, std::vector<uint8_t>(256 * 256 * 3, 90), progressive);
  EXPECT_EQ(FailureOf(jpeg, Budget(300 << 10)),
            "hostile: needs 752 KB to decode the image whole (progressive JPEG), more than the limit of 300 KB "
            "(--max-memory changes it)");
  ImageInfo info;
  std::string error;
  EXPECT_EQ(DecodeBytes(jpeg, Budget(800 << 10), &info, &error).size(), 256u * 256 * 3) << error;
  // A lossless WebP is decoded into 32-bit pixels by libwebp before ours.
  const std::string webp = EncodeWebp(200, 100, 3, std::vector<uint8_t>(200 * 100 * 3, 7));
  std::string message = FailureOf(webp, Budget(100 << 10));
  EXPECT_NE(message.find("(WebP), more than the limit of 100 KB"), std::string::npos) << message;
  EXPECT_EQ(DecodeBytes(webp, Budget(300 << 10), &info, &error).size(), 200u * 100 * 3) << error;
}

TEST(MemoryBudget, AnImageMayTakeTheWholeLimitOfItsOwnOrASharedBudget) {
  // An interlaced 11 x 9 RGB PNG held whole: 297 bytes (inflating it whole
  // as well only speeds it up, and is left out when it does not fit).
  PngOptions interlaced;
  interlaced.interlaced = true;
  const std::vector<uint8_t> rgb(11 * 9 * 3, 77);
  const std::string png = EncodePng(11, 9, PNG_COLOR_TYPE_RGB, rgb, interlaced);
  for (bool shared : {false, true}) {
    for (uint64_t limit : {296, 297}) {
      SCOPED_TRACE(std::string(shared ? "shared " : "own ") + std::to_string(limit));
      MemoryBudget* budget = shared ? NewMemoryBudget(limit) : nullptr;
      ImageOptions options = Budget(shared ? 0 : limit);
      options.sharedBudget = budget;
      // A second image on the budget gets all of it back from the first.
      for (int image = 0; image < (shared ? 2 : 1); ++image) {
        ImageInfo info;
        std::string error;
        const std::vector<uint8_t> out = DecodeBytes(png, options, &info, &error, "big.png");
        if (limit == 297) {
          EXPECT_EQ(out, rgb) << error;
        } else {
          EXPECT_EQ(error, "big.png: needs 297 bytes to decode the image whole (interlaced PNG), more than the "
                           "limit of 296 bytes (--max-memory changes it)");
        }
      }
      FreeMemoryBudget(budget);
    }
  }
}

TEST(MemoryBudget, WhatADecoderTookComesBackWhenItStopsOrStartsAgain) {
  // Reading a progressive JPEG from the top again opens libjpeg again: its
  // coefficients count once, not twice.
  JpegOptions progressive;
  progressive.progressive = true;
  const std::vector<uint8_t> grey(256 * 256 * 3, 90);
  const std::string jpeg = EncodeJpeg(256, 256, 3, grey, progressive);
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(jpeg, "twice.jpg", Budget(800 << 10), &info, &error);
  ASSERT_NE(image, nullptr) << error;
  const std::vector<uint8_t> first = ReadAllRows(image, info, &error);
  EXPECT_EQ(first.size(), 256u * 256 * 3) << error;
  EXPECT_EQ(ReadAllRows(image, info, &error, 64), first) << error;
  CloseImage(image);

  // An image waiting for memory that another holds stops when told to.
  PngOptions interlaced;
  interlaced.interlaced = true;
  const std::string png = EncodePng(11, 9, PNG_COLOR_TYPE_RGB, std::vector<uint8_t>(11 * 9 * 3, 77), interlaced);
  MemoryBudget* budget = NewMemoryBudget(297);
  ImageOptions shared;
  shared.sharedBudget = budget;
  ImageFile* holder = OpenBytes(png, "holder.png", shared, &info, &error);
  ASSERT_NE(holder, nullptr) << error;
  EXPECT_FALSE(ReadAllRows(holder, info, &error).empty()) << error;
  volatile std::sig_atomic_t stop = 1;
  shared.cancel = &stop;
  EXPECT_TRUE(DecodeBytes(png, shared, &info, &error, "waiting.png").empty());
  EXPECT_EQ(error, "waiting.png: interrupted");
  CloseImage(holder);
  FreeMemoryBudget(budget);
}

// An image that gave its memory back to wait for all it needs keeps what it
// waited for until it lets go of it: a decoder that starts again and frees
// what it took meanwhile finds the reservation still there. A stop ends
// the wait.
TEST(MemoryBudget, AReservationIsKeptUntilDroppedAndAStopEndsTheWaitForIt) {
  MemoryBudget* budget = NewMemoryBudget(100);
  ImageSource holder, waiter, other;
  for (ImageSource* source : {&holder, &waiter, &other}) {
    source->name = "w.jpg";
    source->memory.shared = budget;
  }
  std::string error;
  ASSERT_TRUE(ChargeMemory(holder, 60, "held", &error)) << error;
  volatile std::sig_atomic_t stop = 1;
  waiter.cancel = &stop;
  waiter.memory.wanted = 50;
  EXPECT_FALSE(WaitForMemory(waiter, &error));
  EXPECT_EQ(error, "w.jpg: interrupted");

  stop = 0;
  ReleaseMemory(holder, 60);
  waiter.memory.wanted = 50;
  ASSERT_TRUE(WaitForMemory(waiter, &error)) << error;
  ASSERT_TRUE(ChargeMemory(waiter, 20, "rows", &error)) << error;
  ReleaseMemory(waiter, 20);
  EXPECT_FALSE(TryChargeMemory(other, 51));
  ASSERT_TRUE(TryChargeMemory(other, 50));
  ReleaseMemory(other, 50);
  DropMemoryReservation(waiter);
  EXPECT_TRUE(TryChargeMemory(other, 100));
  ReleaseMemory(other, 100);
  FreeMemoryBudget(budget);
}

TEST(MemoryBudget, AnimationsShowTheirFirstFrameOnATransparentCanvas) {
  // A 6 x 5 canvas, a 2 x 2 opaque black frame at (2, 2).
  ImageInfo info;
  std::string error;
  std::vector<uint8_t> rgba = DecodeBytes(ReadFile(kSeeds + "image_webp/hostile-animated-frame-on-canvas.webp"),
                                          Mode(kImageModeRGB, true), &info, &error);
  ASSERT_EQ(rgba.size(), 6u * 5 * 4) << error;
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 6; ++x) {
      const bool frame = x >= 2 && x < 4 && y >= 2 && y < 4;
      const uint8_t* p = &rgba[(y * 6 + x) * 4];
      EXPECT_EQ(std::vector<uint8_t>(p, p + 4), frame ? (std::vector<uint8_t>{0, 0, 0, 255})
                                                      : (std::vector<uint8_t>{0, 0, 0, 0})) << x << "," << y;
    }
  }
}

// Every way of decoding a whole image looks at the flag before it has done
// much: set beforehand, the first read fails as interrupted.
TEST(Interrupts, EveryWholeDecodeLooksAtTheFlag) {
  const std::vector<uint8_t> rgb(24 * 16 * 3, 100);
  JpegOptions progressive;
  progressive.progressive = true;
  PngOptions interlaced;
  interlaced.interlaced = true;
  TiffOptions separate;
  separate.separate = true;
  TiffOptions ycbcr;
  ycbcr.photometric = PHOTOMETRIC_YCBCR;
  TiffOptions turned;
  turned.orientation = 3;
  GifOptions gifInterlaced;
  gifInterlaced.interlaced = true;
  const std::pair<const char*, std::string> inputs[] = {
      {"progressive JPEG", EncodeJpeg(24, 16, 3, rgb, progressive)},
      {"interlaced PNG", EncodePng(24, 16, 2, rgb, interlaced)},
      {"TIFF, separate planes", EncodeTiff(24, 16, 3, rgb, separate)},
      {"TIFF, RGBA interface", EncodeTiff(24, 16, 3, rgb, ycbcr)},
      {"TIFF, turned", EncodeTiff(24, 16, 3, rgb, turned)},
      {"interlaced GIF", EncodeGif(24, 16, std::vector<uint8_t>(48, 9), std::vector<uint8_t>(24 * 16, 1), gifInterlaced)},
      {"WebP", EncodeWebp(24, 16, 3, rgb)},
  };
  for (const auto& input : inputs) {
    volatile std::sig_atomic_t cancel = 0;
    ImageOptions options;
    options.cancel = &cancel;
    ImageInfo info;
    std::string error;
    ImageFile* image = OpenBytes(input.second, input.first, options, &info, &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_NE(info.decodedWhole, nullptr) << input.first;
    cancel = 1;
    EXPECT_TRUE(ReadAllRows(image, info, &error).empty()) << input.first;
    EXPECT_EQ(error, std::string(input.first) + ": interrupted");
    CloseImage(image);
  }
}

TEST(Interrupts, ALongDecodeStopsSoonAfterTheFlagIsSet) {
  // A 65535 x 65535 interlaced frame on an 8192 x 8192 screen: every line of
  // three passes (3.2 billion pixels) comes before the screen is complete,
  // many seconds of decoding.
  const std::string gif = GifFrame(8192, 8192, 65535, 65535, true);
  volatile std::sig_atomic_t cancel = 0;
  ImageOptions options;
  options.cancel = &cancel;
  ImageInfo info;
  std::string error;
  ImageFile* image = OpenBytes(gif, "long.gif", options, &info, &error);
  ASSERT_NE(image, nullptr) << error;
  std::thread interrupter([&cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = 1;
  });
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> row(8192);
  const bool read = ReadImageRows(image, 0, 1, 0, 8192, 0, 0, row.data(), 8192, &error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  interrupter.join();
  EXPECT_FALSE(read);
  EXPECT_EQ(error, "long.gif: interrupted");
  EXPECT_LT(seconds, 5.0);
  CloseImage(image);
}

// ---- special files, pipes and standard input ------------------------------------

std::string OpenError(const std::string& path, ImageOptions options = ImageOptions()) {
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  EXPECT_FALSE(OpenImage(path.c_str(), options, &image, &info, &error)) << path;
  CloseImage(image);
  return error;
}

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/gw-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }
  std::string folder_;
};

const std::string kTinyPgm = std::string("P5 2 1 255\n", 11) + "\x10\x20";

using SpecialFiles = TempFolder;

TEST_F(SpecialFiles, DevicesFoldersAndSocketsAreRefusedForWhatTheyAre) {
  EXPECT_EQ(OpenError("/dev/zero"), "/dev/zero: is a character device, not an image file");
  EXPECT_EQ(OpenError(folder_), folder_ + ": is a folder, not an image file");
  const std::string path = folder_ + "/socket";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(OpenError(path), path + ": is a socket, not an image file");
  close(fd);
}

TEST_F(SpecialFiles, ANamedPipeIsReadWhenItHasAWriterAndRefusedAtOnceWithout) {
  const std::string fifo = folder_ + "/pipe.pgm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(OpenError(fifo), fifo + ": no data: a pipe with no writer");

  // A writer that opens the pipe first and writes slowly.
  std::thread writer([&fifo] {
    int fd = open(fifo.c_str(), O_WRONLY);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(write(fd, kTinyPgm.data(), kTinyPgm.size()), static_cast<ssize_t>(kTinyPgm.size()));
    close(fd);
  });
  // Opening for writing waits for a reader; give it one that does not read.
  int holder = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  ASSERT_TRUE(OpenImage(fifo.c_str(), ImageOptions(), &image, &info, &error)) << error;
  close(holder);
  writer.join();
  EXPECT_EQ(ReadAllRows(image, info, &error), (std::vector<uint8_t>{0x10, 0x20})) << error;
  CloseImage(image);
}

// Runs `body` with `fd` as standard input.
template <typename Body>
void WithStandardInput(int fd, Body body) {
  int saved = dup(STDIN_FILENO);
  dup2(fd, STDIN_FILENO);
  close(fd);
  body();
  dup2(saved, STDIN_FILENO);
  close(saved);
}

TEST_F(SpecialFiles, StandardInputFromAPipeATerminalOrAFile) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::thread writer([fd = pipeFds[1]] {
    EXPECT_EQ(write(fd, kTinyPgm.data(), kTinyPgm.size()), static_cast<ssize_t>(kTinyPgm.size()));
    close(fd);
  });
  WithStandardInput(pipeFds[0], [] {
    ImageFile* image = nullptr;
    ImageInfo info;
    std::string error;
    ASSERT_TRUE(OpenImage("-", ImageOptions(), &image, &info, &error)) << error;
    EXPECT_EQ(ReadAllRows(image, info, &error), (std::vector<uint8_t>{0x10, 0x20})) << error;
    CloseImage(image);
  });
  writer.join();

  // Not an image: refused at its first bytes, with the pipe still open.
  ASSERT_EQ(pipe(pipeFds), 0);
  ASSERT_EQ(write(pipeFds[1], "<html><body>Not found", 21), 21);
  WithStandardInput(pipeFds[0], [] {
    EXPECT_EQ(OpenError("-").rfind("standard input: not an image file (it starts with \"<html><b\"", 0), 0u);
  });
  close(pipeFds[1]);

  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  int follower = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(follower, 0);
  WithStandardInput(follower, [] { EXPECT_EQ(OpenError("-"), "standard input is a terminal: pipe an image into it"); });
  close(terminal);

  WithStandardInput(open("/dev/null", O_RDONLY), [] {
    EXPECT_EQ(OpenError("-"), "standard input is a character device, not an image file");
  });
  const std::string file = folder_ + "/image.pgm";
  std::ofstream(file, std::ios::binary) << kTinyPgm;
  WithStandardInput(open(file.c_str(), O_RDONLY), [] {
    ImageInfo info;
    ImageFile* image = nullptr;
    std::string error;
    ASSERT_TRUE(OpenImage("-", ImageOptions(), &image, &info, &error)) << error;
    EXPECT_EQ(info.width, 2);
    CloseImage(image);
  });
}

TEST_F(SpecialFiles, AnInterruptStopsWaitingForAPipe) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  ASSERT_EQ(write(pipeFds[1], "P5 2 1", 6), 6);  // then nothing more, the pipe left open
  volatile std::sig_atomic_t cancel = 0;
  std::thread interrupter([&cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = 1;
  });
  ImageOptions options;
  options.cancel = &cancel;
  WithStandardInput(pipeFds[0], [&options] { EXPECT_EQ(OpenError("-", options), "standard input: interrupted"); });
  interrupter.join();
  close(pipeFds[1]);
}

}  // namespace
