// What the coded data of a HEIF or AVIF image tells of the pictures its
// decoder will make, learnt before anything is decoded: a header's size
// (`ispe`) can say anything, the codec's own headers are what the decoder
// allocates by.
#pragma once

#include <cstdint>

struct CodedPictures {
  // Upper bounds over every picture the decoder may make from the data.
  uint64_t samples = 0;   // luma samples of all of them together
  uint32_t pictures = 0;  // how many
  uint32_t largestWidth = 0;
  uint32_t largestHeight = 0;
  int chroma = 0;    // the densest chroma: 0 none, 1 4:2:0, 2 4:2:2, 3 4:4:4
  int bitDepth = 0;  // the deepest samples
  // The size of the picture delivered (after an HEVC conformance window),
  // when the data says it exactly; 0 x 0 when it does not.
  uint32_t width = 0;
  uint32_t height = 0;
};

// Chroma samples for every 4 luma samples.
inline uint64_t ChromaPerFourLuma(int chroma) {
  return chroma <= 0 ? 0 : chroma == 1 ? 2 : chroma == 2 ? 4 : 8;
}
