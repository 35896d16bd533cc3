// Placeholder until the resampler lands: sizing is refused.
#include "host/image/ImageInput.h"

void FitImageSize(int32_t width, int32_t height, int32_t, const SizeRequest&, int32_t* outWidth,
                  int32_t* outHeight) {
  *outWidth = width;
  *outHeight = height;
}

bool ResizeImage(ImageFile*, int32_t, int32_t, ImageInfo*, std::string* error) {
  *error = "sizing is not available";
  return false;
}
