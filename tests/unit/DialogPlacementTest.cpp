// Where CenterDialog puts a dialog: the arithmetic alone, on both platforms.
#include <gtest/gtest.h>

#include <climits>

#include "hostsupport/DialogPlacement.h"

namespace {

const int32_t kScreenWidth = 1024;
const int32_t kScreenHeight = 768;
const int32_t kButton = 18;  // two thirds of it, 12, without a system menu

DialogPosition Place(PlatformRect area, int32_t width, int32_t height, bool systemMenu = false) {
  return CenteredDialogPosition(area, width, height, kScreenWidth, kScreenHeight, kButton,
                                systemMenu);
}

}  // namespace

TEST(DialogPlacement, CentredAcrossLessTheBiasAndAThirdDown) {
  // 601 × 401 area at (10, 20), dialog 200 × 100: free room 401 across and
  // 301 down, halved and thirded downwards.
  DialogPosition at = Place({10, 20, 611, 421}, 200, 100);
  EXPECT_EQ(at.x, 200 + 10 - 12);
  EXPECT_EQ(at.y, 100 + 20);

  at = Place({10, 20, 611, 421}, 200, 100, /*systemMenu=*/true);
  EXPECT_EQ(at.x, 200 + 10 - 18) << "a system menu keeps the whole bias";
  EXPECT_EQ(at.y, 120);
}

TEST(DialogPlacement, BiasWithoutSystemMenuLosesAThirdRoundedDown) {
  const PlatformRect area{0, 0, 400, 300};
  const struct {
    int32_t button;
    int32_t bias;
  } cases[] = {{18, 12}, {20, 14}, {2, 2}, {3, 2}, {0, 0}};
  for (const auto& c : cases) {
    DialogPosition without = CenteredDialogPosition(area, 100, 100, kScreenWidth, kScreenHeight,
                                                    c.button, false);
    DialogPosition with = CenteredDialogPosition(area, 100, 100, kScreenWidth, kScreenHeight,
                                                 c.button, true);
    EXPECT_EQ(without.x, 150 - c.bias) << "button " << c.button;
    EXPECT_EQ(with.x, 150 - c.button) << "button " << c.button;
  }
}

TEST(DialogPlacement, NarrowOrShortParentLeavesNoFreeRoom) {
  // Narrower than the dialog: the dialog starts at the area's left less the
  // bias, which may lie left of the screen; the left edge is not enforced.
  DialogPosition at = Place({100, 50, 200, 90}, 300, 100);
  EXPECT_EQ(at.x, 100 - 12);
  EXPECT_EQ(at.y, 50) << "shorter than the dialog: the area's top";

  at = Place({5, 0, 50, 40}, 300, 100);
  EXPECT_EQ(at.x, -7);

  // Exactly as wide: no free room either.
  at = Place({40, 0, 340, 600}, 300, 100);
  EXPECT_EQ(at.x, 40 - 12);

  // Areas left of and above the screen stay there.
  at = Place({-500, -300, -100, -100}, 200, 100);
  EXPECT_EQ(at.x, -500 + 100 - 12);
  EXPECT_EQ(at.y, -300 + 33);
}

TEST(DialogPlacement, RightAndBottomScreenEdgesPushBack) {
  // Centred it would end at 938 + 300 > 1024 and 600 + 100 + 200 > 768.
  DialogPosition at = Place({900, 600, 1300, 1000}, 300, 200);
  EXPECT_EQ(at.x, kScreenWidth - 300);
  EXPECT_EQ(at.y, kScreenHeight - 200);

  // Ending exactly on the edge is allowed.
  at = Place({736, 568, 736, 568}, 300, 200);
  EXPECT_EQ(at.x, 724);
  EXPECT_EQ(at.y, 568);
  at = Place({737, 569, 737, 569}, 300, 200);
  EXPECT_EQ(at.x, 724);
  EXPECT_EQ(at.y, 568);
}

TEST(DialogPlacement, DialogLargerThanTheScreenGoesToZero) {
  DialogPosition at = Place({0, 0, 1024, 768}, 1100, 800);
  EXPECT_EQ(at.x, 0);
  EXPECT_EQ(at.y, 0);

  // Only the axis that overflows is pinned.
  at = Place({0, 0, 1024, 768}, 1100, 300);
  EXPECT_EQ(at.x, 0);
  EXPECT_EQ(at.y, 156);
}

TEST(DialogPlacement, ExtremeCoordinatesDoNotOverflow) {
  DialogPosition at = CenteredDialogPosition({INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, 10, 10,
                                             INT32_MAX, INT32_MAX, INT32_MAX, true);
  // Free room 2^32 − 11 across: halved, from the far left and less a bias
  // of INT32_MAX, x lies below the 32-bit range and stops at its end.
  EXPECT_EQ(at.x, INT32_MIN);
  EXPECT_EQ(at.y, -715827887);  // (2^32 − 11) / 3 − 2^31

  at = CenteredDialogPosition({INT32_MAX - 5, 0, INT32_MAX, 10}, 100, 10, kScreenWidth,
                              kScreenHeight, INT32_MIN, false);
  EXPECT_EQ(at.x, kScreenWidth - 100) << "beyond the right edge, not wrapped round to the left";
}
