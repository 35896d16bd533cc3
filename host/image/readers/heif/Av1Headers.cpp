#include "host/image/readers/heif/Av1Headers.h"

#include "host/image/readers/heif/BitReader.h"

namespace {

constexpr int kObuSequenceHeader = 1;
constexpr int kObuFrameHeader = 3;
constexpr int kObuFrame = 6;

// dav1d's uvlc: more than 31 leading zeros is an error.
bool SkipUvlc(BitReader* r) {
  int zeros = 0;
  while (r->Bit() == 0) {
    if (++zeros == 32 || r->overrun) return false;
  }
  r->Skip(static_cast<size_t>(zeros));
  return true;
}

// The timing information and the operating points of a full sequence
// header; false where dav1d refuses the timing information.
bool SkipOperatingPoints(BitReader* r) {
  bool decoderModel = false;
  uint32_t delayBits = 0;
  if (r->Bit()) {                                // timing_info_present_flag
    r->Skip(64);                                 // num_units_in_display_tick, time_scale
    if (r->Bit() && !SkipUvlc(r)) return false;  // num_ticks_per_picture_minus_1
    decoderModel = r->Bit() != 0;
    if (decoderModel) {
      delayBits = r->Bits(5) + 1;
      r->Skip(32 + 5 + 5);
    }
  }
  const bool initialDelay = r->Bit() != 0;
  const uint32_t points = r->Bits(5) + 1;
  for (uint32_t i = 0; i < points && !r->overrun; ++i) {
    r->Bits(12);                   // operating_point_idc
    if (r->Bits(5) > 7) r->Bit();  // seq_level_idx, seq_tier
    if (decoderModel && r->Bit()) r->Skip(2 * delayBits + 1);
    if (initialDelay && r->Bit()) r->Bits(4);
  }
  return true;
}

// The coding tools between the frame size and the colour configuration:
// whether frames may be coded narrower and upscaled (superres).
bool ReadSuperres(BitReader* r, bool reduced) {
  if (!reduced) {
    if (r->Bit()) r->Bits(7);  // frame_id_numbers_present_flag: their lengths
  }
  r->Skip(3);  // use_128x128_superblock, enable_filter_intra, enable_intra_edge_filter
  if (!reduced) {
    r->Skip(4);  // interintra, masked compound, warped motion, dual filter
    const bool orderHint = r->Bit() != 0;
    if (orderHint) r->Skip(2);
    const bool screenContent = r->Bit() ? true : r->Bit() != 0;
    if (screenContent && !r->Bit()) r->Bit();  // seq_choose_integer_mv, seq_force_integer_mv
    if (orderHint) r->Bits(3);
  }
  const bool superres = r->Bit() != 0;
  r->Skip(2);  // enable_cdef, enable_restoration
  return superres;
}

// The colour configuration: the chroma subsampling (0 none .. 3 4:4:4) and
// the bit depth.
void ReadColourConfig(BitReader* r, uint32_t profile, int* chroma, int* bitDepth) {
  uint32_t highBitDepth = r->Bit();
  if (profile == 2 && highBitDepth != 0) highBitDepth += r->Bit();
  *bitDepth = highBitDepth == 0 ? 8 : highBitDepth == 1 ? 10 : 12;
  const bool monochrome = profile != 1 && r->Bit() != 0;
  uint32_t primaries = 2, transfer = 2, matrix = 2;
  if (r->Bit()) {
    primaries = r->Bits(8);
    transfer = r->Bits(8);
    matrix = r->Bits(8);
  }
  *chroma = 3;
  if (monochrome) {
    *chroma = 0;
  } else if (primaries == 1 && transfer == 13 && matrix == 0) {
    *chroma = 3;
  } else {
    r->Bit();  // color_range
    if (profile == 0) {
      *chroma = 1;
    } else if (profile == 2 && highBitDepth == 2) {
      const bool across = r->Bit() != 0;
      *chroma = !across ? 3 : r->Bit() ? 1 : 2;
    } else if (profile == 2) {
      *chroma = 2;
    }
  }
}

// dav1d's pictures are 128 x 128 blocks.
uint64_t Aligned(uint32_t side) { return (uint64_t{side} + 127) / 128 * 128; }

// What a sequence header allows a frame to be: a reduced still-picture
// header makes every frame exactly max_frame_width by max_frame_height;
// otherwise a frame may give its own size in frame_width_bits and
// frame_height_bits. False when dav1d would refuse the header before
// knowing its frame size (it ends early, or its timing information is
// malformed); a header cut after the size keeps the worst case for what
// follows.
bool ReadSequenceHeader(const uint8_t* data, size_t size, PictureHeader* h) {
  BitReader r(data, size);
  const uint32_t profile = r.Bits(3);
  r.Bit();  // still_picture
  const bool reduced = r.Bit() != 0;
  if (reduced) {
    r.Bits(5);  // seq_level_idx
  } else if (!SkipOperatingPoints(&r)) {
    return false;
  }
  const int widthBits = static_cast<int>(r.Bits(4)) + 1;
  const int heightBits = static_cast<int>(r.Bits(4)) + 1;
  const uint32_t maxWidth = r.Bits(widthBits) + 1;
  const uint32_t maxHeight = r.Bits(heightBits) + 1;
  if (r.overrun) return false;
  h->width = reduced ? maxWidth : uint32_t{1} << widthBits;
  h->height = reduced ? maxHeight : uint32_t{1} << heightBits;
  h->allocated = Aligned(h->width) * Aligned(h->height);
  h->exact = reduced;
  h->shownWidth = h->width;
  h->shownHeight = h->height;
  // Until the colour configuration is read, the most memory a frame can take.
  h->upscaled = true;
  h->chroma = 3;
  h->bitDepth = 12;
  const bool superres = ReadSuperres(&r, reduced);
  int chroma = 3, bitDepth = 12;
  ReadColourConfig(&r, profile, &chroma, &bitDepth);
  if (r.overrun) return true;
  h->upscaled = superres;
  h->chroma = chroma;
  h->bitDepth = bitDepth;
  return true;
}

}  // namespace

void ScanAv1Pictures(const uint8_t* data, size_t size, CodedPictures* pictures) {
  PictureBounds bounds;
  uint32_t frames = 0;
  size_t at = 0;
  while (at < size) {
    const int type = data[at] >> 3 & 15;
    const bool extension = (data[at] & 4) != 0;
    const bool sized = (data[at] & 2) != 0;
    size_t start = at + 1 + (extension ? 1 : 0);
    if (start > size) break;
    uint64_t length = size - start;
    if (sized) {
      // leb128, at most 8 bytes and 32 bits, as dav1d reads it.
      uint64_t value = 0;
      bool more = true;
      for (int i = 0; i < 8 && more && start < size; ++i) {
        value |= uint64_t{data[start] & 0x7Fu} << (7 * i);
        more = (data[start++] & 0x80) != 0;
      }
      if (more || value > UINT32_MAX) break;
      length = value;
    }
    if (length > size - start) break;
    if (type == kObuSequenceHeader) {
      PictureHeader header;
      if (ReadSequenceHeader(data + start, static_cast<size_t>(length), &header)) bounds.Add(header);
    } else if (type == kObuFrameHeader || type == kObuFrame) {
      ++frames;
    }
    at = start + static_cast<size_t>(length);
  }
  // dav1d refuses frames of more than 2^30 pixels (libheif's limit), so a
  // frame's picture stays below 2^31 samples however wide the fields allow.
  uint64_t perFrame = bounds.largest().allocated;
  if (perFrame > (uint64_t{1} << 31)) perFrame = uint64_t{1} << 31;
  if (bounds.largest().upscaled) perFrame *= 2;
  bounds.Fill(frames, perFrame, pictures);
}
