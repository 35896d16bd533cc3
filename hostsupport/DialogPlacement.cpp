#include "hostsupport/DialogPlacement.h"

namespace {

// Screen coordinates are far from the limits of 32 bits, but the sums below
// are made in 64 bits and the results saturated, so that no input can
// overflow them.
int32_t Saturate(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// The free room along one axis, or 0 when the dialog does not fit.
int64_t FreeRoom(int64_t areaSize, int64_t dialogSize) {
  int64_t room = areaSize - dialogSize;
  return room > 0 ? room : 0;
}

// Pushes the dialog back inside the screen at the far edge only.
int64_t KeepFarEdgeOnScreen(int64_t position, int64_t dialogSize, int64_t screenSize) {
  if (position + dialogSize <= screenSize) return position;
  int64_t pushed = screenSize - dialogSize;
  return pushed < 0 ? 0 : pushed;
}

}  // namespace

DialogPosition CenteredDialogPosition(const PlatformRect& area, int32_t width, int32_t height,
                                      int32_t screenWidth, int32_t screenHeight,
                                      int32_t captionButtonWidth, bool hasSystemMenu) {
  int64_t bias = captionButtonWidth;
  if (!hasSystemMenu) bias -= bias / 3;

  const int64_t areaWidth = int64_t{area.right} - area.left;
  const int64_t areaHeight = int64_t{area.bottom} - area.top;

  int64_t x = FreeRoom(areaWidth, width) / 2 + area.left - bias;
  x = KeepFarEdgeOnScreen(x, width, screenWidth);

  int64_t y = FreeRoom(areaHeight, height) / 3 + area.top;
  y = KeepFarEdgeOnScreen(y, height, screenHeight);

  return DialogPosition{Saturate(x), Saturate(y)};
}
