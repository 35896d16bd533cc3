// What every image fuzz target does with an input: open it from memory in a
// mode, read every row the way the plug-in asks (bands of whole rows, top
// to bottom), then go back to the top once. A failure must come back as a
// message naming the input; anything else (a crash, a sanitizer report, a
// message-less failure) is a finding.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/image/ImageInput.h"

inline void ExpectNamedMessage(const std::string& error) {
  if (error.rfind("fuzz: ", 0) != 0 || error.size() <= 6) __builtin_trap();
}

// Skips inputs that do not start with one of `magics` (a null-terminated
// list), so that each target spends its time on its own reader.
inline bool StartsWithAny(const uint8_t* data, size_t size, const char* const* magics) {
  for (; *magics != nullptr; ++magics) {
    size_t n = std::strlen(*magics);
    if (size >= n && std::memcmp(data, *magics, n) == 0) return true;
  }
  return false;
}

// The host's budget, unless GW_FUZZ_MEMORY_LIMIT_MB (set by run-fuzzer on
// machines with less memory) says otherwise.
inline uint64_t FuzzMemoryLimit() {
  static const uint64_t limit = [] {
    const char* text = std::getenv("GW_FUZZ_MEMORY_LIMIT_MB");
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) << 20 : kDefaultMemoryLimit;
  }();
  return limit;
}

// Within the budget a small file can still ask for seconds of decoding; the
// cancel flag ends every input after two seconds, as Ctrl-C would, so that
// the fuzzer's own timeout finds only decodes that do not look at it.
struct FuzzWatchdog {
  std::atomic<int64_t> deadline{0};  // steady-clock milliseconds, 0: none
  volatile std::sig_atomic_t cancel = 0;
  FuzzWatchdog() {
    std::thread([this] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int64_t until = deadline.load();
        if (until != 0 && Now() > until) cancel = 1;
      }
    }).detach();
  }
  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  void Start() {
    cancel = 0;
    deadline = Now() + 2000;
  }
  void Stop() { deadline = 0; }
};

inline FuzzWatchdog& Watchdog() {
  static FuzzWatchdog* watchdog = new FuzzWatchdog;
  return *watchdog;
}

inline void FuzzImage(const uint8_t* data, size_t size, int16_t mode, bool keepAlpha) {
  if (size == 0) return;
  struct Watch {
    Watch() { Watchdog().Start(); }
    ~Watch() { Watchdog().Stop(); }
  } watch;
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (stream == nullptr) return;
  ImageOptions options;
  options.mode = mode;
  options.keepAlpha = keepAlpha;
  options.memoryLimit = FuzzMemoryLimit();
  options.cancel = &Watchdog().cancel;
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  if (!OpenImageStream(stream, "fuzz", options, &image, &info, &error)) {
    ExpectNamedMessage(error);
    return;
  }
  if (info.width < 1 || info.width > 32767 || info.height < 1 || info.height > 32767 || info.planes < 1) {
    __builtin_trap();
  }
  const int64_t rowBytes = info.mode == kImageModeBitmap ? (info.width + 7) / 8
                                                         : int64_t{info.width} * info.planes;
  int64_t rows = (int64_t{1} << 20) / rowBytes;
  rows = rows < 1 ? 1 : rows > info.height ? info.height : rows;
  std::vector<uint8_t> band(static_cast<size_t>(rowBytes * rows));
  // Bounded work: about 4 MB of samples per input (a tiny GIF can declare a
  // screen of a gigabyte of background).
  const int64_t lastRow = (int64_t{4} << 20) / rowBytes < info.height ? (int64_t{4} << 20) / rowBytes : info.height;
  bool ok = true;
  for (int64_t top = 0; ok && top < lastRow; top += rows) {
    const int64_t bottom = top + rows < info.height ? top + rows : info.height;
    ok = ReadImageRows(image, static_cast<int32_t>(top), static_cast<int32_t>(bottom), 0, info.width, 0,
                       info.planes - 1, band.data(), static_cast<int32_t>(rowBytes), &error);
  }
  if (ok) {
    // Back to the top, one row of a column range and a plane range.
    ok = ReadImageRows(image, 0, 1, info.width / 2, info.width, info.planes - 1, info.planes - 1,
                       band.data(), static_cast<int32_t>(rowBytes), &error);
  }
  if (!ok) ExpectNamedMessage(error);
  CloseImage(image);
}
