// sRGB <-> Lab through lcms2: lcms2's own sRGB profile and its D50 Lab v4
// profile, relative colorimetric (the same as perceptual for a
// matrix-shaper profile), 8 bits in and out. Deterministic: no embedded
// profile is consulted.
#define CMS_NO_REGISTER_KEYWORD 1
#include <lcms2.h>

#include "host/image/stages/ColourTransform.h"

struct ColourTransform {
  cmsHTRANSFORM transform;
};

namespace {

void IgnoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

ColourTransform* Make(bool toLab) {
  cmsSetLogErrorHandler(IgnoreLcmsError);
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM transform = nullptr;
  if (srgb != nullptr && lab != nullptr) {
    transform = toLab ? cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_8,
                                           INTENT_RELATIVE_COLORIMETRIC, 0)
                      : cmsCreateTransform(lab, TYPE_Lab_8, srgb, TYPE_RGB_8,
                                           INTENT_RELATIVE_COLORIMETRIC, 0);
  }
  // A transform keeps what it needs of its profiles.
  if (srgb != nullptr) cmsCloseProfile(srgb);
  if (lab != nullptr) cmsCloseProfile(lab);
  if (transform == nullptr) return nullptr;
  return new ColourTransform{transform};
}

}  // namespace

ColourTransform* GetLabTransform(bool toLab, std::string* whyNot) {
  // Made once, kept for the life of the process.
  static ColourTransform* const toLabTransform = Make(true);
  static ColourTransform* const fromLabTransform = Make(false);
  ColourTransform* t = toLab ? toLabTransform : fromLabTransform;
  if (t == nullptr) *whyNot = "the Lab conversion could not be made";
  return t;
}

void RunColourTransform(ColourTransform* transform, const uint8_t* in, uint8_t* out,
                        int32_t count) {
  if (count > 0) {
    cmsDoTransform(transform->transform, in, out, static_cast<cmsUInt32Number>(count));
  }
}

bool ColourTransformsAvailable() { return true; }
