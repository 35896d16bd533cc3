#include "host/image/MemoryBudget.h"

#include <cstdlib>

#include "host/image/ImageInternal.h"

std::string MemoryLimitMessage(const ImageSource& source, uint64_t needed, const char* what) {
  std::string reason = what != nullptr ? std::string(" (") + what + ")" : std::string();
  if (needed == 0) {
    return "needs more than the limit of " + DescribeBytes(source.memoryLimit) +
           " to decode the image whole" + reason + " (--max-memory changes it)";
  }
  return "needs " + DescribeBytes(needed) + " to decode the image whole" + reason +
         ", more than the limit of " + DescribeBytes(source.memoryLimit) + " (--max-memory changes it)";
}

std::string OutOfMemoryMessage(uint64_t bytes, const char* what) {
  std::string reason = what != nullptr ? std::string(" (") + what + ")" : std::string();
  return "not enough memory to decode the image whole" + reason +
         (bytes != 0 ? ": " + DescribeBytes(bytes) : std::string());
}

bool ChargeMemory(const ImageSource& source, uint64_t bytes, const char* what, std::string* error) {
  uint64_t total = 0;
  if (__builtin_add_overflow(source.memoryCharged, bytes, &total)) total = UINT64_MAX;
  if (source.memoryLimit != 0 && total > source.memoryLimit) {
    SetImageError(error, source, MemoryLimitMessage(source, total, what));
    return false;
  }
  source.memoryCharged = total;
  return true;
}

void ReleaseMemory(const ImageSource& source, uint64_t bytes) {
  source.memoryCharged = bytes < source.memoryCharged ? source.memoryCharged - bytes : 0;
}

uint64_t MemoryLeft(const ImageSource& source) {
  if (source.memoryLimit == 0) return UINT64_MAX;
  return source.memoryCharged < source.memoryLimit ? source.memoryLimit - source.memoryCharged : 0;
}

uint8_t* AllocateImageMemory(const ImageSource& source, uint64_t bytes, const char* what,
                             std::string* error) {
  if (!ChargeMemory(source, bytes, what, error)) return nullptr;
  void* memory = nullptr;
  if (bytes <= SIZE_MAX) memory = std::malloc(static_cast<size_t>(bytes > 0 ? bytes : 1));
  if (memory == nullptr) {
    ReleaseMemory(source, bytes);
    SetImageError(error, source, OutOfMemoryMessage(bytes, what));
  }
  return static_cast<uint8_t*>(memory);
}
