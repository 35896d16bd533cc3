// What a HEIF or AVIF file's decode will take, learnt from its boxes and
// codec headers: the encoders' own output (tests/data/heif, the lying files
// of the bad corpus, made by make_bad_corpus.py), and edge cases built from
// it or written bit by bit where encoders never go.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/image/readers/heif/Av1Headers.h"
#include "host/image/readers/heif/HeifDecodeCost.h"
#include "host/image/readers/heif/HeifItems.h"
#include "host/image/readers/heif/HevcHeaders.h"

namespace {

const std::string kData = GW_IMAGE_TEST_DATA;

// A file with its one top-level meta box read.
struct File {
  std::string bytes;
  std::string meta;
  HeifItems items;
  HeifFileBytes read = [this](uint64_t offset, uint64_t length, std::vector<uint8_t>* out) {
    if (offset > bytes.size() || length > bytes.size() - offset) return false;
    out->insert(out->end(), bytes.begin() + static_cast<long>(offset),
                bytes.begin() + static_cast<long>(offset + length));
    return true;
  };
  const uint8_t* Meta() const { return reinterpret_cast<const uint8_t*>(meta.data()); }
};

bool Load(const std::string& path, File* file) {
  std::ifstream in(kData + "/" + path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  file->bytes = s.str();
  for (size_t at = 0; at + 8 <= file->bytes.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(file->bytes.data() + at);
    const size_t size = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    if (size < 8) break;
    if (file->bytes.compare(at + 4, 4, "meta") == 0)
      file->meta = file->bytes.substr(at + 8, size - 8);
    at += size;
  }
  std::string why;
  return ReadHeifItems(file->Meta(), file->meta.size(), &file->items, &why);
}

// The data with its first codec header (an HEVC sequence parameter set,
// each NAL unit after a 4-byte length; an AV1 sequence header, each OBU
// with its size) given a second time right after it.
std::vector<uint8_t> HeaderTwice(const std::vector<uint8_t>& data, bool hevc) {
  for (size_t at = 0; at < data.size();) {
    size_t end = 0;
    bool header = false;
    if (hevc) {
      if (data.size() - at < 5) break;
      end = at + 4 + (size_t{data[at]} << 24 | size_t{data[at + 1]} << 16 |
                      size_t{data[at + 2]} << 8 | data[at + 3]);
      header = (data[at + 4] >> 1 & 63) == 33;
    } else {
      size_t size = 0, start = at + 1 + ((data[at] & 4) != 0 ? 1 : 0);
      for (int shift = 0; start < data.size(); shift += 7) {
        size |= size_t{data[start] & 0x7Fu} << shift;
        if ((data[start++] & 0x80) == 0) break;
      }
      end = start + size;
      header = (data[at] >> 3 & 15) == 1;
    }
    if (end > data.size()) break;
    if (header) {
      std::vector<uint8_t> twice(data.begin(), data.begin() + static_cast<long>(end));
      twice.insert(twice.end(), data.begin() + static_cast<long>(at), data.end());
      return twice;
    }
    at = end;
  }
  ADD_FAILURE() << "no codec header";
  return data;
}

// The coded pictures of the file's `nth` coded item, with its first codec
// header given twice when `twice`.
CodedPictures Scan(const File& file, int nth, bool twice = false) {
  CodedPictures pictures;
  for (const HeifItems::Item& item : file.items.items) {
    if ((item.type != FourCC("hvc1") && item.type != FourCC("av01")) || nth-- > 0) continue;
    std::vector<uint8_t> data;
    std::string why;
    EXPECT_TRUE(HeifCodedData(file.items, file.Meta(), item, file.read, &data, &why)) << why;
    const bool hevc = item.type == FourCC("hvc1");
    if (twice) data = HeaderTwice(data, hevc);
    if (hevc) {
      ScanHevcPictures(data.data(), data.size(), &pictures);
    } else {
      ScanAv1Pictures(data.data(), data.size(), &pictures);
    }
    return pictures;
  }
  ADD_FAILURE() << "no coded item " << nth;
  return pictures;
}

// Sizes as the files were made: x265 codes 101 x 75 as 104 x 80 and crops
// it to 102 x 76 (whole chroma samples); an image sequence's header lets
// frames of 100 x 60 give their own size, up to its 7- and 6-bit fields'
// 128 x 64. The same header given twice (as a configuration box and the
// item's data may both hold it) says the same.
TEST(HeifHeaders, CodedPicturesOfEncoderOutput) {
  struct Row {
    const char* file;
    int nth;
    uint32_t width, height, largestWidth, largestHeight;
    int chroma, bitDepth;
  };
  for (const Row& row :
       {Row{"heif/odd-101x75.heic", 0, 102, 76, 104, 80, 1, 8},
        Row{"heif/lossy-alpha.heic", 1, 64, 64, 64, 64, 0, 8},
        Row{"heif/lossless-rgb.avif", 0, 24, 16, 24, 16, 3, 8},
        Row{"heif/lossless-gray.avif", 0, 24, 16, 24, 16, 0, 8},
        Row{"heif/lossless-10-bit.avif", 0, 24, 16, 24, 16, 3, 10},
        Row{"heif/animated.avif", 0, 0, 0, 128, 64, 3, 8},
        Row{"bad/avif-lying-16384x16384.avif", 0, 16384, 16384, 16384, 16384, 1, 8},
        Row{"bad/heif-lying-4000x3000.heic", 0, 4000, 3000, 4000, 3000, 1, 8}}) {
    SCOPED_TRACE(row.file);
    File file;
    ASSERT_TRUE(Load(row.file, &file));
    for (bool twice : {false, true}) {
      SCOPED_TRACE(twice ? "header twice" : "header once");
      const CodedPictures p = Scan(file, row.nth, twice);
      EXPECT_EQ(p.pictures, 1u);
      EXPECT_EQ(p.width, row.width);
      EXPECT_EQ(p.height, row.height);
      EXPECT_EQ(p.largestWidth, row.largestWidth);
      EXPECT_EQ(p.largestHeight, row.largestHeight);
      EXPECT_EQ(p.chroma, row.chroma);
      EXPECT_EQ(p.bitDepth, row.bitDepth);
    }
  }
}

// Every frame in an item's data is a picture dav1d may allocate: the
// encoder's frame given twice is charged twice.
TEST(HeifHeaders, EveryAv1FrameIsCharged) {
  File file;
  ASSERT_TRUE(Load("heif/lossy.avif", &file));
  std::vector<uint8_t> data;
  std::string why;
  ASSERT_TRUE(HeifCodedData(file.items, file.Meta(), file.items.items[0], file.read, &data, &why))
      << why;
  CodedPictures once, twice, cut;
  ScanAv1Pictures(data.data(), data.size(), &once);
  // Temporal delimiter and sequence header, then the frame (an OBU of more
  // than 127 bytes, its size in two leb128 bytes).
  const size_t frame = 2 + 2 + data[3];
  ASSERT_GT(data[frame + 1], 0x7F);
  std::vector<uint8_t> repeated(data.begin(), data.end());
  repeated.insert(repeated.end(), data.begin() + static_cast<long>(frame), data.end());
  ScanAv1Pictures(repeated.data(), repeated.size(), &twice);
  ScanAv1Pictures(data.data(), frame - 1, &cut);  // the sequence header cut short
  EXPECT_EQ(once.pictures, 1u);
  EXPECT_EQ(twice.pictures, 2u);
  EXPECT_EQ(twice.samples, 2 * once.samples);
  EXPECT_EQ(cut.pictures, 0u);
}

// HEVC parameter sets written bit by bit, as encoders would with more
// sub-layers, larger pictures and other windows than the test files have.
class Bits {
 public:
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits_.push_back(value >> i & 1);
  }
  void Ue(uint32_t value) {
    int length = 0;
    while ((value + 1) >> (length + 1) != 0) ++length;
    Put(0, length);
    Put(value + 1, length + 1);
  }
  // As a NAL unit: trailing bits, then 03 after every two zero bytes that
  // precede a byte of 0 to 3.
  std::vector<uint8_t> Nal() {
    Put(1, 1);
    while (bits_.size() % 8 != 0) bits_.push_back(0);
    std::vector<uint8_t> raw, out;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | bits_[i + k]);
      raw.push_back(byte);
    }
    int zeros = 0;
    for (uint8_t byte : raw) {
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  std::vector<int> bits_;
};

struct Sps {
  uint32_t subLayers, chroma, width, height, bottom;  // bottom: the window's, in chroma rows
};

std::vector<uint8_t> SpsNal(const Sps& s) {
  Bits b;
  b.Put(33 << 1, 8);  // nal_unit_type 33
  b.Put(1, 8);
  b.Put(0, 4);
  b.Put(s.subLayers - 1, 3);
  b.Put(1, 1);
  b.Put(0x01600000, 32);  // general profile, tier, compatibility...
  b.Put(0, 32);
  b.Put(0, 24);
  b.Put(93, 8);  // ...level
  for (uint32_t i = 0; i + 1 < s.subLayers; ++i)
    b.Put(3, 2);  // sub-layer profile and level present
  if (s.subLayers > 1) b.Put(0, 2 * (9 - s.subLayers));
  for (uint32_t i = 0; i + 1 < s.subLayers; ++i) {
    b.Put(0x7FFFFFFF, 32);  // ones where a misaligned read would find size fields
    b.Put(0xFFFFFFFF, 32);
    b.Put(0xFFFFFF, 24);
    b.Put(0xFF, 8);
  }
  b.Ue(0);
  b.Ue(s.chroma);
  b.Ue(s.width);
  b.Ue(s.height);
  b.Put(s.bottom != 0, 1);
  if (s.bottom != 0) {
    b.Ue(0);
    b.Ue(0);
    b.Ue(0);
    b.Ue(s.bottom);
  }
  b.Ue(2);  // 10 bits
  b.Ue(2);
  return b.Nal();
}

void Append(std::vector<uint8_t>* stream, const std::vector<uint8_t>& nal) {
  const uint32_t n = static_cast<uint32_t>(nal.size());
  const uint8_t length[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  stream->insert(stream->end(), length, length + 4);
  stream->insert(stream->end(), nal.begin(), nal.end());
}

TEST(HeifHeaders, HevcParameterSets) {
  struct Row {
    Sps sps;
    int sliceType;  // the NAL unit type of the picture's first slice
    uint32_t width, height, pictures;
  };
  for (const Row& row : {
           Row{{1, 1, 64, 64, 0}, 19, 64, 64, 1},
           Row{{3, 1, 1920, 1088, 4}, 19, 1920, 1080, 1},  // sub-layers; 4:2:0 window in pairs of
                                                           // rows
           Row{{1, 0, 1920, 1088, 4}, 20, 1920, 1084, 1},  // grey: in single rows
           Row{{7, 2, 640, 480, 1}, 21, 640, 479, 1},      // 4:2:2: single rows
           Row{{1, 1, 65535, 8, 0}, 19, 65535, 8, 1},  // exp-Golomb codes long enough for 00 00 03
           Row{{1, 1, 65536, 8, 0}, 19, 0, 0, 0},      // larger than libde265 decodes
           Row{{1, 1, 64, 64, 0}, 1, 64, 64, 17},  // a picture that may refer to 16 missing ones
       }) {
    SCOPED_TRACE(std::to_string(row.sps.width) + " x " + std::to_string(row.sps.height) +
                 ", slice type " + std::to_string(row.sliceType));
    std::vector<uint8_t> stream;
    Append(&stream, SpsNal(row.sps));
    Append(&stream, {static_cast<uint8_t>(row.sliceType << 1), 1, 0x80});  // the first slice
    Append(&stream,
           {static_cast<uint8_t>(row.sliceType << 1), 1, 0x40});  // another of the same picture
    CodedPictures p;
    ScanHevcPictures(stream.data(), stream.size(), &p);
    EXPECT_EQ(p.width, row.width);
    EXPECT_EQ(p.height, row.height);
    EXPECT_EQ(p.pictures, row.pictures);
    EXPECT_EQ(p.samples,
              uint64_t{row.pictures} * (row.pictures != 0 ? row.sps.width * row.sps.height : 0));
    if (row.pictures != 0) {
      EXPECT_EQ(p.bitDepth, 10);
    }
  }
}

// A property added to an item's list in front of or after its own ispe.
void AddIspe(File* file, uint32_t width, uint32_t height, bool last) {
  const std::string ispe =
      std::string(4, '\0') +
      std::string{char(width >> 24), char(width >> 16), char(width >> 8), char(width)} +
      std::string{char(height >> 24), char(height >> 16), char(height >> 8), char(height)};
  HeifItems::Property property;
  property.type = FourCC("ispe");
  property.payload = {file->meta.size(), ispe.size()};
  file->meta += ispe;
  file->items.properties.push_back(property);
  std::vector<uint16_t>& list = file->items.items[0].properties;
  const auto index = static_cast<uint16_t>(file->items.properties.size());
  list.insert(last ? list.end() : list.begin(), index);
}

// libheif takes an image's size from its last ispe, and pastes a grid's
// tiles one at a time into a canvas of the size the grid's data gives.
TEST(HeifHeaders, DecodeEstimate) {
  File file;
  std::string why;
  HeifDecodeCost cost;
  ASSERT_TRUE(Load("heif/lossless-rgb.avif", &file));
  AddIspe(&file, 64, 64, false);
  EXPECT_TRUE(EstimateHeifDecode(file.items, file.Meta(), file.read, &cost, &why)) << why;
  AddIspe(&file, 64, 64, true);
  EXPECT_FALSE(EstimateHeifDecode(file.items, file.Meta(), file.read, &cost, &why));
  EXPECT_EQ(why, "the image is coded at 24 x 16 pixels, but its header says 64 x 64");

  File grid, wide;
  ASSERT_TRUE(Load("heif/lossless-grid-2x2.avif", &grid));
  ASSERT_TRUE(Load("heif/lossless-grid-2x2.avif", &wide));
  HeifDecodeCost small, large;
  ASSERT_TRUE(EstimateHeifDecode(grid.items, grid.Meta(), grid.read, &small, &why)) << why;
  EXPECT_EQ(small.pixels, 128u * 128u);
  EXPECT_EQ(small.codedImages, 4u);
  // The same tiles in a canvas of 4000 x 3000 (the grid's 16-bit fields and
  // its ispe): only the canvas grows.
  const HeifItems::Item* item = wide.items.Find(wide.items.primary);
  ASSERT_TRUE(item != nullptr && item->extents.size() == 1);
  const size_t at = static_cast<size_t>(item->baseOffset + item->extents[0].offset);
  std::string& data = item->construction == 1 ? wide.meta : wide.bytes;
  const size_t fields = (item->construction == 1 ? wide.items.idat.at : 0) + at + 4;
  data.replace(fields, 4,
               std::string{char(4000 >> 8), char(4000 & 0xFF), char(3000 >> 8), char(3000 & 0xFF)});
  AddIspe(&wide, 4000, 3000, true);
  ASSERT_TRUE(EstimateHeifDecode(wide.items, wide.Meta(), wide.read, &large, &why)) << why;
  EXPECT_EQ(large.pixels, 4000u * 3000u);
  EXPECT_EQ(large.result, small.result / small.pixels * large.pixels);
  EXPECT_GT(small.peak - small.result, 0u);
  EXPECT_EQ(large.peak - large.result, small.peak - small.result);
}

// Boxes as libheif reads them: ipma entries from every ipma box, the first
// infe and iloc entry of an item, 16-bit property indices, 32-bit item IDs.
std::string Box(const char* type, const std::string& payload) {
  const uint32_t size = static_cast<uint32_t>(payload.size() + 8);
  return std::string{char(size >> 24), char(size >> 16), char(size >> 8), char(size)} + type +
         payload;
}
std::string Be(uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}
std::string Infe(int version, uint32_t id, const char* type) {
  return Box("infe", Be(uint32_t(version) << 24, 4) + Be(id, version == 2 ? 2 : 4) + Be(0, 2) +
                         type + '\0');
}

TEST(HeifHeaders, ItemBoxes) {
  const std::string ipco = Box("ipco", Box("ispe", Be(0, 4) + Be(10, 4) + Be(20, 4)) +
                                           Box("ispe", Be(0, 4) + Be(30, 4) + Be(40, 4)));
  const std::string meta =
      Be(0, 4) + Box("pitm", Be(1u << 24, 4) + Be(70000, 4)) +
      Box("iinf", Be(1u << 24, 4) + Be(3, 4) + Infe(3, 70000, "grid") + Infe(2, 2, "av01") +
                      Infe(2, 2, "hvc1")) +
      Box("iloc", Be(1u << 24, 4) + Be(0x4480, 2) + Be(2, 2) + Be(2, 2) + Be(1, 2) + Be(0, 2) +
                      Be(100, 8) + Be(1, 2) + Be(5, 4) + Be(7, 4) + Be(2, 2) + Be(0, 2) + Be(0, 2) +
                      Be(0, 8) + Be(1, 2) + Be(9, 4) + Be(9, 4)) +
      Box("iref", Be(1u << 24, 4) + Box("dimg", Be(70000, 4) + Be(2, 2) + Be(2, 4) + Be(2, 4))) +
      Box("iprp", ipco + Box("ipma", Be(1, 4) + Be(1, 4) + Be(2, 2) + Be(1, 1) + Be(0x8001, 2)) +
                      Box("ipma", Be(1u << 24, 4) + Be(1, 4) + Be(70000, 4) + Be(2, 1) +
                                      Be(0x02, 1) + Be(0x81, 1)));
  HeifItems items;
  std::string why;
  ASSERT_TRUE(
      ReadHeifItems(reinterpret_cast<const uint8_t*>(meta.data()), meta.size(), &items, &why))
      << why;
  EXPECT_EQ(items.primary, 70000u);
  const HeifItems::Item* grid = items.Find(70000);
  const HeifItems::Item* tile = items.Find(2);
  ASSERT_TRUE(grid != nullptr && tile != nullptr);
  EXPECT_EQ(tile->type, FourCC("av01"));
  EXPECT_EQ(tile->construction, 1);
  EXPECT_EQ(tile->baseOffset, 100u);
  ASSERT_EQ(tile->extents.size(), 1u);
  EXPECT_EQ(tile->extents[0].offset, 5u);
  EXPECT_EQ(tile->extents[0].length, 7u);
  EXPECT_EQ(items.References(70000, FourCC("dimg")), (std::vector<uint32_t>{2, 2}));
  ASSERT_TRUE(items.FindProperty(*tile, FourCC("ispe")) != nullptr);
  ASSERT_TRUE(items.FindProperty(*grid, FourCC("ispe")) != nullptr);
  EXPECT_EQ(items.FindProperty(*tile, FourCC("ispe"))->payload.at, items.properties[0].payload.at);
  EXPECT_EQ(items.FindProperty(*grid, FourCC("ispe"))->payload.at, items.properties[1].payload.at);
  EXPECT_EQ(items.FindLastProperty(*grid, FourCC("ispe"))->payload.at,
            items.properties[0].payload.at);
}

}  // namespace
