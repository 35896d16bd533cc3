// The checks every reader makes of what its header declares.
#include "host/image/readers/ImageReader.h"

#include <string>

#include "host/image/input/SizeArithmetic.h"

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
