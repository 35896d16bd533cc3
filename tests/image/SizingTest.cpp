// The size an image is shown at, from the user's bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "host/image/stages/Sizing.h"

namespace {

std::pair<int32_t, int32_t> Fit(int32_t w, int32_t h, int32_t planes, int32_t columns,
                                int32_t lines, bool enlarge = false, double aspect = 2) {
  SizeRequest request;
  request.maxColumns = columns;
  request.maxLines = lines;
  request.enlarge = enlarge;
  request.cellAspect = aspect;
  std::pair<int32_t, int32_t> out;
  FitImageSize(w, h, planes, request, &out.first, &out.second);
  return out;
}

using Size = std::pair<int32_t, int32_t>;

TEST(FitImageSize, ProportionsHoldOnTallCellsForOneAndThreePlanes) {
  // A square on cells twice as tall as wide: half as many lines as pixels
  // across, and three times that for three characters a pixel.
  EXPECT_EQ(Fit(100, 100, 1, 50, 0), Size(50, 25));
  EXPECT_EQ(Fit(100, 100, 3, 60, 0), Size(20, 30));  // 60 characters, 30 lines
  EXPECT_EQ(Fit(100, 100, 1, 50, 0, false, 1), Size(50, 50));
  EXPECT_EQ(Fit(100, 100, 1, 0, 10), Size(20, 10));
  EXPECT_EQ(Fit(100, 100, 3, 0, 10), Size(7, 10));  // 6.67 rounded
  // Both bounds: whichever binds first.
  EXPECT_EQ(Fit(400, 100, 1, 80, 5), Size(40, 5));
  EXPECT_EQ(Fit(400, 100, 1, 80, 50), Size(80, 10));
  // No bound: the width stays, unless the lines would have to grow.
  EXPECT_EQ(Fit(100, 100, 1, 0, 0), Size(100, 50));
  EXPECT_EQ(Fit(100, 100, 3, 0, 0), Size(67, 100));
}

TEST(FitImageSize, NeverEnlargesUnlessAskedAndNeverEmpty) {
  EXPECT_EQ(Fit(10, 10, 1, 80, 0), Size(10, 5));
  EXPECT_EQ(Fit(10, 10, 1, 80, 0, true), Size(80, 40));
  EXPECT_EQ(Fit(10, 10, 3, 0, 0, true), Size(10, 15));
  EXPECT_EQ(Fit(1000, 1, 1, 10, 0), Size(10, 1));
  EXPECT_EQ(Fit(100, 100, 3, 2, 0), Size(1, 2));  // fewer columns than planes: still a pixel
  // The interface's 32767 bounds enlarging too.
  EXPECT_EQ(Fit(1, 1, 1, 100000, 0, true), Size(32767, 16384));
  // A cell aspect that means nothing is the usual 2.
  EXPECT_EQ(Fit(100, 100, 1, 50, 0, false, 0), Size(50, 25));
  EXPECT_EQ(Fit(100, 100, 1, 50, 0, false, std::nan("")), Size(50, 25));
}

TEST(WidthRefusal, LinesMustHoldOnePixelOfEveryPlane) {
  struct Case {
    int16_t mode;
    int16_t planes;
    bool alpha;
    int32_t columns;
    bool refused;
  };
  const Case cases[] = {
      {kImageModeGray, 1, false, 1, false},   {kImageModeRGB, 3, false, 1, true},
      {kImageModeRGB, 3, false, 2, true},     {kImageModeRGB, 3, false, 3, false},
      {kImageModeRGB, 4, true, 3, true},      {kImageModeRGB, 4, true, 4, false},
      {kImageModeCMYK, 4, false, 3, true},    {kImageModeCMYK, 4, false, 0, false},  // no bound
      {kImageModeBitmap, 1, false, 1, false},
  };
  for (const Case& c : cases) {
    ImageInfo info;
    info.mode = c.mode;
    info.planes = c.planes;
    info.alphaPlane = c.alpha;
    SizeRequest request;
    request.maxColumns = c.columns;
    request.maxLines = 10;
    EXPECT_EQ(!WidthRefusal(info, request).empty(), c.refused) << c.mode << " " << c.columns;
  }
  ImageInfo rgba;
  rgba.mode = kImageModeRGB;
  rgba.planes = 4;
  rgba.alphaPlane = true;
  SizeRequest two;
  two.maxColumns = 2;
  EXPECT_EQ(WidthRefusal(rgba, two),
            "lines of at most 2 characters cannot show it: each pixel takes 4, one for each of its "
            "planes "
            "(rgb and alpha)");
}

}  // namespace
