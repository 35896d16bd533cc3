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

struct ParameterSet {
  uint32_t width = 0;  // as coded
  uint32_t height = 0;
  uint32_t croppedWidth = 0;  // after the conformance window, as delivered
  uint32_t croppedHeight = 0;
  int chroma = 3;
  int bitDepth = 16;
};

// False when libde265 would refuse the set before its picture size.
bool ReadParameterSet(const std::vector<uint8_t>& rbsp, ParameterSet* p) {
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
  p->croppedWidth = width;
  p->croppedHeight = height;
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
  p->croppedWidth = cutX < width ? width - static_cast<uint32_t>(cutX) : 0;
  p->croppedHeight = cutY < height ? height - static_cast<uint32_t>(cutY) : 0;
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
  *pictures = CodedPictures();
  ParameterSet largest;
  bool any = false, sameSize = true;
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
      ParameterSet p;
      if (!ReadParameterSet(Unescaped(nal, length), &p)) continue;
      if (any &&
          (p.croppedWidth != largest.croppedWidth || p.croppedHeight != largest.croppedHeight)) {
        sameSize = false;
      }
      if (!any || uint64_t{p.width} * p.height > uint64_t{largest.width} * largest.height) {
        largest.width = p.width;
        largest.height = p.height;
        largest.croppedWidth = p.croppedWidth;
        largest.croppedHeight = p.croppedHeight;
      }
      largest.chroma = !any || p.chroma > largest.chroma ? p.chroma : largest.chroma;
      largest.bitDepth = !any || p.bitDepth > largest.bitDepth ? p.bitDepth : largest.bitDepth;
      any = true;
    } else if (type < 32 && length > 2 && (nal[2] & 0x80) != 0) {
      // The first slice segment of a picture. One that may refer to
      // pictures the data lacks (not an intra random access point) has
      // libde265 make a stand-in for each, up to the 16 a picture can use.
      count += type >= 16 && type <= 23 ? 1 : 17;
    }
  }
  if (!any || count == 0) return;
  pictures->pictures = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
  pictures->samples = count * largest.width * largest.height;
  pictures->largestWidth = largest.width;
  pictures->largestHeight = largest.height;
  pictures->chroma = largest.chroma;
  pictures->bitDepth = largest.bitDepth;
  if (sameSize) {
    pictures->width = largest.croppedWidth;
    pictures->height = largest.croppedHeight;
  }
}
