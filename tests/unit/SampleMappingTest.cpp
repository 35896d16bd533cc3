// Every version of the sample mapping this processor can run gives the
// plain table lookup's bytes, whatever the length and alignment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render/Renderer.h"
#include "render/SampleMapping.h"

TEST(SampleMapping, EveryVersionMatchesTheRamp) {
  std::vector<uint8_t> samples(4096 + 3);
  uint32_t x = 99;
  for (size_t i = 0; i < samples.size(); ++i) {
    x = x * 1103515245u + 12345u;
    // Runs of every value first, then noise.
    samples[i] = i < 512 ? static_cast<uint8_t>(i) : static_cast<uint8_t>(x >> 16);
  }
  int ran = 0;
  for (int m = 0; m < SampleMapperCount(); ++m) {
    SampleMapper map = SampleMapperAt(m);
    if (map == nullptr) continue;  // not on this processor
    ++ran;
    for (int32_t offset : {0, 1, 3}) {
      for (int32_t length : {0, 1, 2, 31, 32, 33, 63, 64, 65, 127, 200, 4096}) {
        std::string line(static_cast<size_t>(length) + 1, '\x01');
        map(samples.data() + offset, length, &line[0]);
        for (int32_t i = 0; i < length; ++i) {
          ASSERT_EQ(line[static_cast<size_t>(i)], CharacterRamp[255 - samples[static_cast<size_t>(offset + i)]])
              << SampleMapperName(m) << " length " << length << " offset " << offset << " at " << i;
        }
        EXPECT_EQ(line.back(), '\x01') << SampleMapperName(m) << " wrote past the line";
      }
    }
  }
  EXPECT_GE(ran, 1);
}
