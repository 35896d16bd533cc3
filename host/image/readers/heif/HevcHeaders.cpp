#include "host/image/readers/heif/HevcHeaders.h"

#include <vector>

#include "host/image/readers/heif/BitReader.h"

namespace {

constexpr int kSequenceParameterSet = 33;
// libde265 refuses larger pictures and longer exp-Golomb codes.
constexpr uint32_t kLargestSide = 65535;
constexpr int kLongestCode = 20;

// An exp-Golomb code; false past its length limit or the end.
bool ReadUe(BitReader* r, uint32_t* value) {
  int zeros = 0;
  while (r->Bit() == 0) {
    if (++zeros > kLongestCode || r->overrun) return false;
  }
  *value = zeros == 0 ? 0 : (uint32_t{1} << zeros) - 1 + r->Bits(zeros);
  return !r->overrun;
}

// False when libde265 would refuse the set before its picture size.
bool ReadParameterSet(const std::vector<uint8_t>& rbsp, PictureHeader* p) {
  BitReader r(rbsp.data(), rbsp.size());
  r.Skip(16);  // the NAL unit header
  r.Bits(4);   // sps_video_parameter_set_id
  const uint32_t subLayers = r.Bits(3) + 1;
  if (subLayers > 7) return false;
  r.Bit();         // sps_temporal_id_nesting_flag
  r.Skip(88 + 8);  // the general profile and level
  bool profilePresent[8] = {}, levelPresent[8] = {};
  for (uint32_t i = 0; i + 1 < subLayers; ++i) {
    profilePresent[i] = r.Bit() != 0;
    levelPresent[i] = r.Bit() != 0;
  }
  if (subLayers > 1) r.Skip(2 * (9 - subLayers));
  for (uint32_t i = 0; i + 1 < subLayers; ++i) {
    if (profilePresent[i]) r.Skip(88);
    if (levelPresent[i]) r.Skip(8);
  }
  uint32_t id = 0, chroma = 0, width = 0, height = 0;
  if (!ReadUe(&r, &id) || id >= 16 || !ReadUe(&r, &chroma) || chroma > 3) return false;
  if (chroma == 3) r.Bit();  // separate_colour_plane_flag
  if (!ReadUe(&r, &width) || !ReadUe(&r, &height) || width == 0 || height == 0 ||
      width > kLargestSide || height > kLargestSide) {
    return false;
  }
  p->width = width;
  p->height = height;
  p->allocated = uint64_t{width} * height;
  p->exact = true;
  p->shownWidth = width;
  p->shownHeight = height;
  uint32_t window[4] = {};
  if (r.Bit()) {
    for (uint32_t& offset : window) {
      if (!ReadUe(&r, &offset)) return true;
    }
  }
  const uint32_t unitX = chroma == 1 || chroma == 2 ? 2 : 1;
  const uint32_t unitY = chroma == 1 ? 2 : 1;
  const uint64_t cutX = (uint64_t{window[0]} + window[1]) * unitX;
  const uint64_t cutY = (uint64_t{window[2]} + window[3]) * unitY;
  // A window wider than the picture leaves nothing, which libheif refuses.
  p->shownWidth = cutX < width ? width - static_cast<uint32_t>(cutX) : 0;
  p->shownHeight = cutY < height ? height - static_cast<uint32_t>(cutY) : 0;
  uint32_t lumaDepth = 0, chromaDepth = 0;
  if (!ReadUe(&r, &lumaDepth) || !ReadUe(&r, &chromaDepth)) return true;
  p->chroma = static_cast<int>(chroma);
  const uint32_t depth = 8 + (lumaDepth > chromaDepth ? lumaDepth : chromaDepth);
  p->bitDepth = depth > 16 ? 16 : static_cast<int>(depth);
  return true;
}

// The NAL unit without its emulation-prevention bytes (00 00 03).
std::vector<uint8_t> Unescaped(const uint8_t* nal, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    out.push_back(nal[i]);
  }
  return out;
}

}  // namespace

void ScanHevcPictures(const uint8_t* data, size_t size, CodedPictures* pictures) {
  PictureBounds bounds;
  uint64_t count = 0;
  size_t at = 0;
  while (size - at >= 4) {
    const uint32_t length = static_cast<uint32_t>(data[at]) << 24 |
                            static_cast<uint32_t>(data[at + 1]) << 16 |
                            static_cast<uint32_t>(data[at + 2]) << 8 | data[at + 3];
    at += 4;
    if (length > size - at) break;  // libheif stops handing on the data here
    const uint8_t* nal = data + at;
    at += length;
    if (length < 2) continue;
    const int type = nal[0] >> 1 & 63;
    if (type == kSequenceParameterSet) {
      PictureHeader header;
      if (ReadParameterSet(Unescaped(nal, length), &header)) bounds.Add(header);
    } else if (type < 32 && length > 2 && (nal[2] & 0x80) != 0) {
      // The first slice segment of a picture. One that may refer to
      // pictures the data lacks (not an intra random access point) has
      // libde265 make a stand-in for each, up to the 16 a picture can use.
      count += type >= 16 && type <= 23 ? 1 : 17;
    }
  }
  bounds.Fill(count, bounds.largest().allocated, pictures);
}
