// The file an image is read from, as the readers and the request machinery
// share it: the open stream, the name messages give it, its size, the
// caller's cancel flag and what the image has of its memory budget; and the
// messages and reads about it that every reader uses.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct MemoryBudget;

// What one image has of its memory budget (budget/MemoryBudget.h keeps it).
struct MemoryAccount {
  MemoryBudget* shared = nullptr;  // null: a budget of the image's own
  uint64_t charged = 0;   // what its allocations account for now
  // From a shared budget: what the image has taken from it (the larger of
  // `charged` and `reserved`), and the reservation made after waiting.
  uint64_t held = 0;
  uint64_t reserved = 0;
  // Not 0: a charge did not fit while the image held memory; it gives
  // everything back and waits for this much (WaitForMemory).
  uint64_t wanted = 0;
};

// The open file and what is known about it.
struct ImageSource {
  FILE* file = nullptr;
  std::string name;        // for messages: the path as given
  uint64_t size = 0;       // bytes in the file
  uint64_t memoryLimit = 0;  // the budget's limit (0: none)
  // What is charged against the limit now: the image held whole and the
  // open reader's buffers. Reader charges end when the reader is closed.
  mutable MemoryAccount memory;
  const volatile std::sig_atomic_t* cancel = nullptr;  // ImageOptions.cancel
  // The image is wanted as one plane of grey: a reader whose decoder can
  // deliver grey directly (a YCbCr JPEG's luma) may store it so.
  bool wantsGray = false;
  // The image is wanted at 1/scaleDenominator of its size (2, 4 or 8), set
  // for the JPEG reader alone, which then decodes it that small straight
  // from the DCT and stores ceil(size / scaleDenominator) pixels.
  int32_t scaleDenominator = 1;
  // Animations: the frame a reader delivers (1 = the first), and whether
  // frames are to be composited as a viewer shows them, every one alike
  // (set for any frame but the first, and for frames shown one after
  // another). Without it a reader delivers its first image as it always did.
  int32_t frame = 1;
  bool animation = false;
};

// "name: message".
void SetImageError(std::string* error, const ImageSource& source, const std::string& message);

// True, with "NAME: interrupted" in `error`, once the caller's cancel flag
// is set.
bool Interrupted(const ImageSource& source, std::string* error);
inline bool CancelRequested(const ImageSource& source) {
  return source.cancel != nullptr && *source.cancel != 0;
}

// "297 bytes", "40 KB", "1200 MB", for messages.
std::string DescribeBytes(uint64_t bytes);

// Reads exactly `size` bytes; false at the end of the file or on an error.
bool ReadSourceBytes(ImageSource* source, void* buffer, size_t size);

// Back to the file's first byte; false when the file cannot seek.
bool RewindSource(ImageSource* source);

// The message for a stream that ended early.
std::string TruncatedMessage(const char* format);
