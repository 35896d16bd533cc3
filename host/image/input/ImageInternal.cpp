// What the format readers share: messages and checks about the source.
#include "host/image/input/ImageInternal.h"

#include <string>

void SetImageError(std::string* error, const ImageSource& source, const std::string& message) {
  *error = source.name + ": " + message;
}

bool CheckImageSize(const ImageSource& source, int64_t width, int64_t height, std::string* error) {
  if (width <= 0 || height <= 0) {
    SetImageError(error, source, "empty image: " + std::to_string(width) + " x " +
                                     std::to_string(height) + " pixels");
    return false;
  }
  if (width > kMaxImageSide || height > kMaxImageSide) {
    SetImageError(error, source, "too large: " + std::to_string(width) + " x " +
                                     std::to_string(height) + " pixels; at most " +
                                     std::to_string(kMaxImageSide) + " in each direction");
    return false;
  }
  return true;
}

bool CheckedProduct(uint64_t a, uint64_t b, uint64_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}

bool CheckDeclaredSize(const ImageSource& source, uint64_t decodedBytes, uint64_t maxRatio,
                       const char* format, std::string* error) {
  uint64_t most = 0;
  if (CheckedProduct(source.size, maxRatio, &most) && decodedBytes > most) {
    SetImageError(error, source, TruncatedMessage(format) + " (its header declares " +
                                     DescribeBytes(decodedBytes) + " of pixels, more than " +
                                     DescribeBytes(source.size) + " can hold)");
    return false;
  }
  return true;
}

// "297 bytes", "40 KB", "1200 MB".
std::string DescribeBytes(uint64_t n) {
  if (n >= (uint64_t{10} << 20)) return std::to_string((n + (1u << 20) - 1) >> 20) + " MB";
  if (n >= (uint64_t{10} << 10)) return std::to_string((n + 1023) >> 10) + " KB";
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

bool Interrupted(const ImageSource& source, std::string* error) {
  if (!CancelRequested(source)) return false;
  SetImageError(error, source, "interrupted");
  return true;
}

bool ReadSourceBytes(ImageSource* source, void* buffer, size_t size) {
  return std::fread(buffer, 1, size, source->file) == size;
}

std::string TruncatedMessage(const char* format) {
  return std::string("truncated ") + format + " file: it ends before the image data does";
}
