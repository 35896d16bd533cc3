// Builds without lcms2 (the Windows cross build): no Lab conversions.
#include "host/image/stages/ColourTransform.h"

ColourTransform* GetLabTransform(bool, std::string* whyNot) {
  *whyNot = "this build has no colour management (lcms2)";
  return nullptr;
}

void RunColourTransform(ColourTransform*, const uint8_t*, uint8_t*, int32_t) {}

bool ColourTransformsAvailable() { return false; }
