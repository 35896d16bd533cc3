// The size an image is shown at: from the user's bounds in characters and
// lines to pixels, keeping the picture's proportions on a terminal.
//
// A pixel of a P-plane image is P characters wide (one per plane) and one
// line tall, and a terminal cell is `cellAspect` times as tall as it is
// wide. So w x h pixels show as w * P cell widths across and h * cellAspect
// cell widths down, and the proportions of a W x H image are kept when
// h = w * P * H / (W * cellAspect).
#pragma once

#include <cstdint>
#include <string>

#include "host/image/ImageTypes.h"

struct SizeRequest {
  int32_t maxColumns = 0;  // characters per line, every plane's counted; 0: no bound
  int32_t maxLines = 0;    // lines; 0: no bound
  double cellAspect = 2;   // a cell's height over its width; not positive or not finite: 2
  bool enlarge = false;    // may grow beyond the image's own size
};

// The largest size, in pixels, that fits the request with the proportions
// kept, both sides rounded to the nearest pixel and at least 1 (and at most
// 32767, the interface's limit). Without `enlarge` neither side grows beyond
// the image's own; with no bound at all the width stays and only the number
// of lines follows the proportions. `width`, `height` and `planes` are
// taken as at least 1.
void FitImageSize(int32_t width, int32_t height, int32_t planes, const SizeRequest& request,
                  int32_t* outWidth, int32_t* outHeight);

// Why lines of at most request.maxColumns characters cannot show the image
// `info` describes, or empty when they can: a pixel takes a character for
// each of its planes, so the narrowest picture is one pixel, `planes`
// characters, wide. Said in the user's terms, naming the planes.
std::string WidthRefusal(const ImageInfo& info, const SizeRequest& request);
