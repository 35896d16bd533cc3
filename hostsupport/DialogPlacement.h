// Where a dialog goes when it is centred over a reference area: the
// arithmetic of CenterDialog, apart from the window system that supplies its
// inputs.
#pragma once

#include <cstdint>

#include "platform/DialogWindow.h"

struct DialogPosition {
  int32_t x;
  int32_t y;
};

// `area`: the reference window's client area in screen coordinates. `width`
// and `height`: the dialog's whole window. `captionButtonWidth`: the width
// of a caption-bar button, the base of the leftward bias (two thirds of it
// for a dialog without a system menu).
//
// Centred across and shifted left by the bias, at a third of the free height
// from the top; pushed back inside the screen on the right and at the bottom
// only, so x may be negative.
DialogPosition CenteredDialogPosition(const PlatformRect& area, int32_t width, int32_t height,
                                      int32_t screenWidth, int32_t screenHeight,
                                      int32_t captionButtonWidth, bool hasSystemMenu);
