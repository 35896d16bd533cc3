// Messages and reads about the file an image is read from.
#include "host/image/input/ImageSource.h"

#include <string>

void SetImageError(std::string* error, const ImageSource& source, const std::string& message) {
  *error = source.name + ": " + message;
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

bool RewindSource(ImageSource* source) { return fseeko(source->file, 0, SEEK_SET) == 0; }

std::string TruncatedMessage(const char* format) {
  return std::string("truncated ") + format + " file: it ends before the image data does";
}
