#include "ImageTestSupport.h"

#include <cstdio>

ImageFile* OpenBytes(const std::string& bytes, const char* name, const ImageOptions& options,
                     ImageInfo* info, std::string* error) {
  FILE* f = std::tmpfile();
  if (f == nullptr) {
    *error = "no temporary file";
    return nullptr;
  }
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  ImageFile* image = nullptr;
  if (!OpenImageStream(f, name, options, &image, info, error)) return nullptr;
  return image;
}

std::vector<uint8_t> ReadAllRows(ImageFile* image, const ImageInfo& info, std::string* error,
                                 int32_t rowsPerBand) {
  const int32_t rowBytes =
      info.mode == kImageModeBitmap ? (info.width + 7) / 8 : info.width * info.planes;
  std::vector<uint8_t> out(static_cast<size_t>(rowBytes) * info.height);
  if (rowsPerBand <= 0) rowsPerBand = info.height;
  for (int32_t top = 0; top < info.height; top += rowsPerBand) {
    int32_t bottom = top + rowsPerBand < info.height ? top + rowsPerBand : info.height;
    if (!ReadImageRows(image, top, bottom, 0, info.width, 0, info.planes - 1,
                       out.data() + static_cast<size_t>(top) * rowBytes, rowBytes, error)) {
      return {};
    }
  }
  return out;
}

std::vector<uint8_t> DecodeBytes(const std::string& bytes, const ImageOptions& options,
                                 ImageInfo* info, std::string* error, const char* name) {
  ImageFile* image = OpenBytes(bytes, name, options, info, error);
  if (image == nullptr) return {};
  std::vector<uint8_t> out = ReadAllRows(image, *info, error);
  CloseImage(image);
  return out;
}

ImageOptions Mode(int16_t mode, bool keepAlpha) {
  ImageOptions options;
  options.mode = mode;
  options.keepAlpha = keepAlpha;
  return options;
}

std::string Pnm(const std::string& header, const std::vector<uint8_t>& samples) {
  return header + std::string(samples.begin(), samples.end());
}
