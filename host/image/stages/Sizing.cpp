#include "host/image/stages/Sizing.h"

#include <algorithm>
#include <cmath>

namespace {

int32_t Nearest(double v) {
  double r = std::floor(v + 0.5);
  if (r < 1) return 1;
  if (r > static_cast<double>(kMaxImageSide)) return static_cast<int32_t>(kMaxImageSide);
  return static_cast<int32_t>(r);
}

}  // namespace

void FitImageSize(int32_t width, int32_t height, int32_t planes, const SizeRequest& request,
                  int32_t* outWidth, int32_t* outHeight) {
  const double w = std::max(width, 1), h = std::max(height, 1), p = std::max(planes, 1);
  const double aspect =
      std::isfinite(request.cellAspect) && request.cellAspect > 0 ? request.cellAspect : 2.0;
  // Lines per pixel column that keep the proportions.
  const double k = p * h / (w * aspect);

  // The box the picture must fit, in pixels.
  const double side = static_cast<double>(kMaxImageSide);
  double columns = side, lines = side;
  if (request.maxColumns > 0) columns = std::max(1.0, std::floor(request.maxColumns / p));
  if (request.maxLines > 0) lines = request.maxLines;
  if (request.maxColumns <= 0 && request.maxLines <= 0) columns = w;
  if (!request.enlarge) {
    columns = std::min(columns, w);
    lines = std::min(lines, h);
  }
  columns = std::min(columns, side);
  lines = std::min(lines, side);

  if (columns * k <= lines) {
    *outWidth = Nearest(columns);
    *outHeight = Nearest(columns * k);
  } else {
    *outHeight = Nearest(lines);
    *outWidth = std::min(Nearest(lines / k), Nearest(columns));
  }
}

std::string WidthRefusal(const ImageInfo& info, const SizeRequest& request) {
  if (request.maxColumns <= 0 || request.maxColumns >= info.planes) return "";
  const std::string kind =
      std::string(ImageModeName(info.mode)) + (info.alphaPlane ? " and alpha" : "");
  return "lines of at most " + std::to_string(request.maxColumns) + " character" +
         (request.maxColumns == 1 ? "" : "s") + " cannot show it: each pixel takes " +
         std::to_string(info.planes) + ", one for each of its planes (" + kind + ")";
}
