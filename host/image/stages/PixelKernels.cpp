// The per-pixel kernels of the conversions, and the choice among their
// versions for the processor at hand.
#include "host/image/stages/Convert.h"

#if defined(__x86_64__)
#define GW_VECTOR_KERNELS 1
#endif

namespace {

// Plain loops that the compiler vectorises for whatever target the function
// that inlines them is built for. `Wide` is the arithmetic type: 16 bits
// where every intermediate fits, which doubles the lanes of a vector, 32
// where the baseline instruction set does better in scalar code.

#define GW_INLINE inline __attribute__((always_inline))

// (299 R + 587 G + 114 B + 500) / 1000 without a division the vector units
// lack: the sum s is at most 255500, s / 1000 = (s / 8) / 125, and
// t * 33555 / 2^22 (33555 = 2^22 / 125 rounded up) is t / 125 for every t
// up to 31937. A 32-bit product, exact for all 2^24 colours.
GW_INLINE void RgbToGrayBody(const uint8_t* rgb, int32_t count, uint8_t* grey) {
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t s = 299u * rgb[3 * i] + 587u * rgb[3 * i + 1] + 114u * rgb[3 * i + 2] + 500u;
    grey[i] = static_cast<uint8_t>(((s >> 3) * 33555u) >> 22);
  }
}

GW_INLINE void GrayToRgbBody(const uint8_t* grey, int32_t count, uint8_t* rgb) {
  for (int32_t i = 0; i < count; ++i) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = grey[i];
}

// C K + 127 is at most 65152: 16 bits hold it.
template <typename Wide>
GW_INLINE void CmykToRgbBody(const uint8_t* cmyk, int32_t count, uint8_t* rgb) {
  for (int32_t i = 0; i < count; ++i) {
    const Wide k = cmyk[4 * i + 3];
    for (int c = 0; c < 3; ++c) {
      rgb[3 * i + c] = static_cast<uint8_t>(static_cast<Wide>(cmyk[4 * i + c] * k + 127) / 255);
    }
  }
}

// v a + 255 (255 - a) + 127 is at most 65152 as well; a = 255 gives v back.
template <int kColours, typename Wide>
GW_INLINE void OverWhiteBody(const uint8_t* in, int32_t count, uint8_t* out) {
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p = in + i * (kColours + 1);
    const Wide a = p[kColours];
    const Wide white = static_cast<Wide>(255 * (255 - a) + 127);
    for (int k = 0; k < kColours; ++k) {
      out[i * kColours + k] = static_cast<uint8_t>(static_cast<Wide>(p[k] * a + white) / 255);
    }
  }
}

void RgbToGrayPlain(const uint8_t* rgb, int32_t count, uint8_t* grey) { RgbToGrayBody(rgb, count, grey); }
void GrayToRgbPlain(const uint8_t* grey, int32_t count, uint8_t* rgb) { GrayToRgbBody(grey, count, rgb); }
void CmykToRgbPlain(const uint8_t* cmyk, int32_t count, uint8_t* rgb) {
  CmykToRgbBody<uint32_t>(cmyk, count, rgb);
}
void Over1Plain(const uint8_t* in, int32_t count, uint8_t* out) { OverWhiteBody<1, uint32_t>(in, count, out); }
void Over3Plain(const uint8_t* in, int32_t count, uint8_t* out) { OverWhiteBody<3, uint32_t>(in, count, out); }
void Over4Plain(const uint8_t* in, int32_t count, uint8_t* out) { OverWhiteBody<4, uint32_t>(in, count, out); }

#if defined(GW_VECTOR_KERNELS)

#define GW_AVX2 __attribute__((target("avx2")))

GW_AVX2 void RgbToGrayAvx2(const uint8_t* rgb, int32_t count, uint8_t* grey) { RgbToGrayBody(rgb, count, grey); }
GW_AVX2 void GrayToRgbAvx2(const uint8_t* grey, int32_t count, uint8_t* rgb) { GrayToRgbBody(grey, count, rgb); }
GW_AVX2 void CmykToRgbAvx2(const uint8_t* cmyk, int32_t count, uint8_t* rgb) {
  CmykToRgbBody<uint16_t>(cmyk, count, rgb);
}
GW_AVX2 void Over1Avx2(const uint8_t* in, int32_t count, uint8_t* out) { OverWhiteBody<1, uint16_t>(in, count, out); }
GW_AVX2 void Over3Avx2(const uint8_t* in, int32_t count, uint8_t* out) { OverWhiteBody<3, uint16_t>(in, count, out); }
GW_AVX2 void Over4Avx2(const uint8_t* in, int32_t count, uint8_t* out) { OverWhiteBody<4, uint16_t>(in, count, out); }

bool CanRun(int index) {
  __builtin_cpu_init();
  return index == 0 || __builtin_cpu_supports("avx2");
}

#else

bool CanRun(int) { return true; }

#endif

const PixelKernels kKernels[] = {
    {"plain", RgbToGrayPlain, GrayToRgbPlain, CmykToRgbPlain,
     {nullptr, Over1Plain, nullptr, Over3Plain, Over4Plain}},
#if defined(GW_VECTOR_KERNELS)
    {"avx2", RgbToGrayAvx2, GrayToRgbAvx2, CmykToRgbAvx2,
     {nullptr, Over1Avx2, nullptr, Over3Avx2, Over4Avx2}},
#endif
};

const int kKernelsCount = static_cast<int>(sizeof kKernels / sizeof kKernels[0]);

}  // namespace

const PixelKernels& ChoosePixelKernels() {
  static const PixelKernels* const chosen = [] {
    for (int index = kKernelsCount - 1; index > 0; --index) {
      if (CanRun(index)) return &kKernels[index];
    }
    return &kKernels[0];
  }();
  return *chosen;
}

int PixelKernelsCount() { return kKernelsCount; }

const PixelKernels* PixelKernelsAt(int index) {
  if (index < 0 || index >= kKernelsCount || !CanRun(index)) return nullptr;
  return &kKernels[index];
}
