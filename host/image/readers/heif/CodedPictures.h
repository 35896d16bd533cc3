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

// What one codec header (an AV1 sequence header, an HEVC sequence parameter
// set) allows the pictures coded after it to be. Until a header has been
// read to its end, what is not yet known is the most it could be.
struct PictureHeader {
  uint32_t width = 0;   // the largest picture it allows
  uint32_t height = 0;
  uint64_t allocated = 0;  // the luma samples a decoder allocates for it
  // The picture delivered is exactly shownWidth x shownHeight (after an
  // HEVC conformance window); otherwise frames may give their own size.
  bool exact = false;
  uint32_t shownWidth = 0;
  uint32_t shownHeight = 0;
  int chroma = 3;
  int bitDepth = 16;
  bool upscaled = false;  // a second, upscaled picture (AV1's superres)
};

// The codec headers of one image's data, taken in order, and the pictures
// they allow: the largest any of them allows (a picture's size comes from
// the header in force when it is parsed, so counting every picture at the
// largest keeps the bounds whichever header the decoder takes), the
// densest chroma and deepest samples of all of them, and the size
// delivered when every header says the same one exactly.
class PictureBounds {
 public:
  void Add(const PictureHeader& header);
  // The largest header so far (chroma, depth and upscaling over all).
  const PictureHeader& largest() const { return largest_; }
  // `count` pictures of at most `samplesEach` luma samples each; nothing
  // (`pictures` left empty) without a header or a picture.
  void Fill(uint64_t count, uint64_t samplesEach, CodedPictures* pictures) const;

 private:
  bool any_ = false;
  bool sameSize_ = true;
  PictureHeader largest_;
};
