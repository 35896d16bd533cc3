// Builds without zimg (the Windows cross build): no resampling, said
// plainly when it is asked for.
#include "host/image/stages/Resample.h"

bool ResamplingAvailable() { return false; }

Resampler* NewResampler(int32_t, int32_t, int32_t, int32_t, int32_t, const ResamplerBudget*,
                        std::string* error) {
  *error = "this build cannot resize images (it was built without zimg)";
  return nullptr;
}

void FreeResampler(Resampler*) {}
bool ResamplerPush(Resampler*, const uint8_t*, std::string* error) {
  *error = "this build cannot resize images";
  return false;
}
int32_t ResamplerRowsIn(const Resampler*) { return 0; }
int32_t ResamplerFirstRow(const Resampler*) { return 0; }
int32_t ResamplerEndRow(const Resampler*) { return 0; }
bool ResamplerMake(Resampler*, int32_t, std::string* error) {
  *error = "this build cannot resize images";
  return false;
}
const uint8_t* ResamplerRow(const Resampler*, int32_t) { return nullptr; }
void ResamplerDrop(Resampler*, int32_t) {}
