// Conversions between sRGB and Lab through lcms2, 8 bits a sample: RGB as
// TYPE_RGB_8 against lcms2's sRGB profile, Lab as TYPE_Lab_8 against
// cmsCreateLab4Profile (D50). A build without lcms2 has none (ColourNone.cpp).
#pragma once

#include <cstdint>
#include <string>

struct ColourTransform;

// sRGB to Lab (toLab) or back; made once per process and kept. Null when
// this build cannot make it, with the reason.
ColourTransform* GetLabTransform(bool toLab, std::string* whyNot);

// Converts `count` pixels, packed, from `in` to `out` (different buffers).
void RunColourTransform(ColourTransform* transform, const uint8_t* in, uint8_t* out,
                        int32_t count);

// True when this build converts to and from Lab.
bool ColourTransformsAvailable();
