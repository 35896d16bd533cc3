#include "host/image/readers/heif/HeifDecodeCost.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "host/image/input/SizeArithmetic.h"
#include "host/image/readers/heif/Av1Headers.h"
#include "host/image/readers/heif/CodedPictures.h"
#include "host/image/readers/heif/HevcHeaders.h"

namespace {

// libheif recurses through derived images without a limit of its own.
constexpr int kDeepest = 16;
// libheif refuses item data larger than this.
constexpr uint64_t kLargestItemData = uint64_t{512} << 20;

// What a decoder holds beside its pictures' samples (block information,
// loop-filter rows, frame-threading copies), measured on this machine's
// dav1d 1.0 (two threads or more) and libde265 1.0.11 at 3000 x 2000, in
// sixteenths: for every luma sample, for every byte of the samples, and
// once for each decoder, with dav1d's share for every thread it starts.
struct DecoderMemory {
  uint64_t perLumaSample;
  uint64_t perSampleByte;
  uint64_t once;
};
constexpr DecoderMemory kDav1d = {40, 56, uint64_t{2} << 20};
constexpr DecoderMemory kLibde265 = {24, 40, uint64_t{2} << 20};
constexpr uint64_t kDav1dPerThread = uint64_t{320} << 10;

// An image as libheif builds it: the most bytes held while it is made, what
// it is once made (planar), and its pixels.
struct Planar {
  uint64_t peak = 0;
  uint64_t result = 0;
  uint64_t pixels = 0;
};

bool IsImage(uint32_t type) {
  return type == FourCC("hvc1") || type == FourCC("av01") || type == FourCC("grid") ||
         type == FourCC("iden") || type == FourCC("iovl") || type == FourCC("vvc1");
}

// What an image is to the one delivered, for messages.
enum class Role { kPrimary, kTile, kAlpha, kSource };

const char* Name(Role role) {
  return role == Role::kPrimary ? "the image"
         : role == Role::kTile  ? "a tile"
         : role == Role::kAlpha ? "its alpha image"
                                : "an image it is made from";
}

class Estimator {
 public:
  Estimator(const HeifItems& items, const uint8_t* meta, const HeifFileBytes& file,
            std::string* why)
      : items_(items), meta_(meta), file_(file), why_(why) {
    // dav1d starts a thread for every processor it may run on.
    const unsigned processors = std::thread::hardware_concurrency();
    decoderThreads_ = processors == 0 ? 64 : processors;
    for (const HeifItems::Reference& r : items.references) {
      const HeifItems::Item* item = items.Find(r.from);
      if (r.type == FourCC("auxl") && !r.to.empty() && item != nullptr && IsAlpha(*item)) {
        alphas_[r.to[0]].push_back(r.from);
      }
    }
  }

  bool Image(uint32_t id, Role role, int depth, Planar* out);
  uint32_t codedImages = 0;
  bool unsupported = false;

 private:
  bool Fail(const std::string& why) {
    *why_ = why;
    return false;
  }
  const uint8_t* Payload(const HeifItems::Property& p) const { return meta_ + p.payload.at; }
  bool ItemData(const HeifItems::Item& item, std::vector<uint8_t>* out) {
    return HeifItemData(items_, meta_, item, file_, out, why_);
  }
  bool Coded(const HeifItems::Item& item, Role role, Planar* out);
  bool Grid(const HeifItems::Item& item, Role role, int depth, Planar* out);
  bool Overlay(const HeifItems::Item& item, Role role, int depth, Planar* out);
  bool SizeAsDeclared(const HeifItems::Item& item, uint64_t width, uint64_t height, Role role,
                      const char* made);
  bool IsAlpha(const HeifItems::Item& candidate) const;

  const HeifItems& items_;
  const uint8_t* meta_;
  const HeifFileBytes& file_;
  std::string* why_;
  std::vector<uint32_t> chain_;                       // the images being built, outermost first
  std::map<uint32_t, std::vector<uint32_t>> alphas_;  // an image's alpha images
  // Images already estimated (as alpha or not): an item reached again (a
  // tile named twice, a shared alpha) is read and scanned once.
  std::map<std::pair<uint32_t, bool>, Planar> done_;
  uint64_t decoderThreads_ = 1;
};

// An image coded at another size than its header gives would be pasted
// where the header says, or delivered at another size than announced.
bool Estimator::SizeAsDeclared(const HeifItems::Item& item, uint64_t width, uint64_t height,
                               Role role, const char* made) {
  const HeifItems::Property* ispe = items_.FindLastProperty(item, FourCC("ispe"));
  if (ispe == nullptr || ispe->payload.size < 12) return true;
  const uint8_t* p = Payload(*ispe) + 4;
  const uint64_t declaredWidth =
      uint64_t{p[0]} << 24 | uint64_t{p[1]} << 16 | uint64_t{p[2]} << 8 | p[3];
  const uint64_t declaredHeight =
      uint64_t{p[4]} << 24 | uint64_t{p[5]} << 16 | uint64_t{p[6]} << 8 | p[7];
  if (width == declaredWidth && height == declaredHeight) return true;
  return Fail(std::string(Name(role)) + " " + made + " " + std::to_string(width) + " x " +
              std::to_string(height) + " pixels, but its header says " +
              std::to_string(declaredWidth) + " x " + std::to_string(declaredHeight));
}

bool Estimator::Coded(const HeifItems::Item& item, Role role, Planar* out) {
  const bool hevc = item.type == FourCC("hvc1");
  std::vector<uint8_t> stream;
  if (!HeifCodedData(items_, meta_, item, file_, &stream, why_)) return false;
  CodedPictures pictures;
  if (hevc) {
    ScanHevcPictures(stream.data(), stream.size(), &pictures);
  } else {
    ScanAv1Pictures(stream.data(), stream.size(), &pictures);
  }
  ++codedImages;
  if (pictures.width != 0 &&
      !SizeAsDeclared(item, pictures.width, pictures.height, role, "is coded at")) {
    return false;
  }
  const uint64_t sample = pictures.bitDepth > 8 ? 2 : 1;
  const uint64_t perLuma = 4 + ChromaPerFourLuma(pictures.chroma);
  // The decoder's pictures; then one of them copied out as libheif's image;
  // then, unless it is an alpha image, converted to planar RGB (possibly
  // through a 4:4:4 step), the compressed data held throughout, and given
  // to the decoder as a copy.
  const uint64_t samples =
      SaturatingMultiply(SaturatingMultiply(pictures.samples, perLuma) / 4, sample);
  const DecoderMemory& memory = hevc ? kLibde265 : kDav1d;
  const uint64_t forLuma = SaturatingMultiply(pictures.samples, memory.perLumaSample) / 16;
  const uint64_t forBytes = SaturatingMultiply(samples, memory.perSampleByte) / 16;
  uint64_t decoder =
      SaturatingAdd(SaturatingAdd(samples, forLuma), SaturatingAdd(forBytes, memory.once));
  if (!hevc) decoder = SaturatingAdd(decoder, SaturatingMultiply(decoderThreads_, kDav1dPerThread));
  const uint64_t area = SaturatingMultiply(pictures.largestWidth, pictures.largestHeight);
  const uint64_t copied = SaturatingMultiply(SaturatingMultiply(area, perLuma) / 4, sample);
  const uint64_t rgb = SaturatingMultiply(SaturatingMultiply(area, 3), sample);
  const uint64_t data = stream.size();
  out->peak = SaturatingAdd(SaturatingAdd(decoder, SaturatingMultiply(data, 2)), copied);
  if (role == Role::kAlpha) {
    out->result = copied;
  } else {
    out->peak = std::max(out->peak,
                         SaturatingAdd(SaturatingAdd(data, copied), SaturatingMultiply(rgb, 2)));
    out->result = rgb;
  }
  out->pixels = area;
  return true;
}

bool Estimator::Grid(const HeifItems::Item& item, Role role, int depth, Planar* out) {
  std::vector<uint8_t> data;
  if (!ItemData(item, &data)) return false;
  const bool wide = data.size() >= 2 && (data[1] & 1) != 0;
  if (data.size() < (wide ? 12u : 8u))
    return Fail("grid " + std::to_string(item.id) + " is malformed");
  const uint64_t rows = uint64_t{data[2]} + 1, columns = uint64_t{data[3]} + 1;
  auto field = [&](size_t at) {
    return wide ? uint64_t{data[at]} << 24 | uint64_t{data[at + 1]} << 16 |
                      uint64_t{data[at + 2]} << 8 | data[at + 3]
                : uint64_t{data[at / 2 + 2]} << 8 | data[at / 2 + 3];
  };
  const uint64_t width = field(4), height = field(8);
  const std::vector<uint32_t> tiles = items_.References(item.id, FourCC("dimg"));
  if (tiles.size() != rows * columns) {
    return Fail("grid " + std::to_string(item.id) + " has " + std::to_string(rows * columns) +
                " tiles but lists " + std::to_string(tiles.size()));
  }
  if (!SizeAsDeclared(item, width, height, role, "is a grid of")) return false;
  // Tiles are decoded one at a time into the canvas; a tile named twice is
  // decoded twice, and costs what it did the first time.
  uint64_t tilePeak = 0;
  uint64_t sample = 1;
  bool alphaPlane = false;
  for (uint32_t tile : tiles) {
    Planar t;
    if (!Image(tile, Role::kTile, depth + 1, &t)) return false;
    tilePeak = std::max(tilePeak, t.peak);
    if (t.result > SaturatingMultiply(t.pixels, 3)) sample = 2;
    alphaPlane = alphaPlane || alphas_.count(tile) != 0;
  }
  const HeifItems::Property* pixi = items_.FindProperty(item, FourCC("pixi"));
  if (pixi != nullptr) {
    for (size_t i = 5; i < pixi->payload.size; ++i) {
      if (Payload(*pixi)[i] > 8) sample = 2;
    }
  }
  const uint64_t pixels = SaturatingMultiply(width, height);
  out->result = SaturatingMultiply(SaturatingMultiply(pixels, alphaPlane ? 4 : 3), sample);
  out->peak = SaturatingAdd(out->result, tilePeak);
  out->pixels = pixels;
  return true;
}

bool Estimator::Overlay(const HeifItems::Item& item, Role role, int depth, Planar* out) {
  std::vector<uint8_t> data;
  if (!ItemData(item, &data)) return false;
  const size_t field = data.size() >= 2 && (data[1] & 1) != 0 ? 4 : 2;
  if (data.size() < 10 + 2 * field || data[0] != 0)
    return Fail("overlay " + std::to_string(item.id) + " is malformed");
  uint64_t width = 0, height = 0;
  for (size_t i = 0; i < field; ++i) {
    width = width << 8 | data[10 + i];
    height = height << 8 | data[10 + field + i];
  }
  if (!SizeAsDeclared(item, width, height, role, "is an overlay of")) return false;
  // An 8-bit RGB canvas; each image decoded, converted to 4:4:4 RGB and laid on it.
  const uint64_t pixels = SaturatingMultiply(width, height);
  uint64_t layer = 0;
  for (uint32_t id : items_.References(item.id, FourCC("dimg"))) {
    Planar p;
    if (!Image(id, Role::kSource, depth + 1, &p)) return false;
    layer = std::max(layer, SaturatingAdd(p.peak, p.result));
  }
  out->result = SaturatingMultiply(pixels, 3);
  out->peak = SaturatingAdd(out->result, layer);
  out->pixels = pixels;
  return true;
}

// An auxiliary image (auxl) libheif takes for an alpha channel.
bool Estimator::IsAlpha(const HeifItems::Item& candidate) const {
  const HeifItems::Property* auxC =
      IsImage(candidate.type) ? items_.FindLastProperty(candidate, FourCC("auxC")) : nullptr;
  if (auxC == nullptr || auxC->payload.size <= 4) return false;
  const char* text = reinterpret_cast<const char*>(Payload(*auxC) + 4);
  const std::string type(text, strnlen(text, auxC->payload.size - 4));
  return type == "urn:mpeg:avc:2015:auxid:1" || type == "urn:mpeg:hevc:2015:auxid:1" ||
         type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
}

bool Estimator::Image(uint32_t id, Role role, int depth, Planar* out) {
  const HeifItems::Item* item = items_.Find(id);
  if (item == nullptr || !IsImage(item->type))
    return Fail(std::string(Name(role)) + " is not among its images");
  if (std::find(chain_.begin(), chain_.end(), id) != chain_.end()) {
    return Fail("its images refer to each other in a loop");
  }
  if (depth > kDeepest)
    return Fail("its images are derived from one another more than 16 times over");
  const auto known = done_.find({id, role == Role::kAlpha});
  if (known != done_.end()) {
    *out = known->second;
    return true;
  }
  chain_.push_back(id);
  bool ok = false;
  if (item->type == FourCC("hvc1") || item->type == FourCC("av01")) {
    ok = Coded(*item, role, out);
  } else if (item->type == FourCC("grid")) {
    ok = Grid(*item, role, depth, out);
  } else if (item->type == FourCC("iovl")) {
    ok = Overlay(*item, role, depth, out);
  } else if (item->type == FourCC("iden")) {
    const std::vector<uint32_t> source = items_.References(id, FourCC("dimg"));
    ok = source.size() == 1 ? Image(source[0], role, depth + 1, out)
                            : Fail("identity " + std::to_string(id) + " names " +
                                   std::to_string(source.size()) + " images");
  } else {
    // vvc1, which libheif 1.15 knows as an image but has no decoder for.
    unsupported = true;
    ok = Fail(std::string(Name(role)) + " is coded with VVC (H.266)");
  }
  if (!ok) return false;
  // Turned or cropped into a new image.
  if (items_.FindProperty(*item, FourCC("irot")) != nullptr ||
      items_.FindProperty(*item, FourCC("clap")) != nullptr) {
    out->peak = std::max(out->peak, SaturatingMultiply(out->result, 2));
  }
  // An alpha image is decoded beside the image once made, its plane then
  // taken over.
  uint64_t alphaPeak = 0, alphaResult = 0;
  const auto alphas = alphas_.find(id);
  for (uint32_t alphaId : alphas != alphas_.end() ? alphas->second : std::vector<uint32_t>()) {
    Planar a;
    if (!Image(alphaId, Role::kAlpha, depth + 1, &a)) return false;
    alphaPeak = std::max(alphaPeak, a.peak);
    alphaResult = std::max(alphaResult, a.result);
  }
  out->peak = std::max(out->peak, SaturatingAdd(out->result, alphaPeak));
  out->result = SaturatingAdd(out->result, alphaResult);
  chain_.pop_back();
  done_[{id, role == Role::kAlpha}] = *out;
  return true;
}

}  // namespace

bool HeifItemData(const HeifItems& items, const uint8_t* meta, const HeifItems::Item& item,
                  const HeifFileBytes& file, std::vector<uint8_t>* out, std::string* why) {
  const std::string name = "item " + std::to_string(item.id);
  if (!item.located) {
    *why = name + " has no data";
    return false;
  }
  for (const HeifItems::Extent& extent : item.extents) {
    const uint64_t start = SaturatingAdd(item.baseOffset, extent.offset);
    if (SaturatingAdd(out->size(), extent.length) > kLargestItemData) {
      *why = name + " holds more than 512 MB";
      return false;
    }
    if (item.construction == 0) {
      if (!file(start, extent.length, out)) {
        *why = "the data of " + name + " lies beyond the end of the file";
        return false;
      }
    } else if (item.construction == 1 && items.hasIdat && start <= items.idat.size &&
               extent.length <= items.idat.size - start) {
      const uint8_t* from = meta + items.idat.at + start;
      out->insert(out->end(), from, from + extent.length);
    } else {
      *why = "the data of " + name + " cannot be found";
      return false;
    }
  }
  return true;
}

bool HeifCodedData(const HeifItems& items, const uint8_t* meta, const HeifItems::Item& item,
                   const HeifFileBytes& file, std::vector<uint8_t>* out, std::string* why) {
  const bool hevc = item.type == FourCC("hvc1");
  const HeifItems::Property* config = items.FindProperty(item, FourCC(hevc ? "hvcC" : "av1C"));
  if (config == nullptr) {
    *why = "image " + std::to_string(item.id) + " has no codec configuration";
    return false;
  }
  const uint8_t* c = meta + config->payload.at;
  const size_t size = config->payload.size;
  if (hevc) {
    // After 22 bytes of profile and format, arrays of NAL units, each unit
    // after a 2-byte length; libheif skips empty ones.
    size_t at = 22;
    const size_t arrays = at < size ? c[at++] : 0;
    for (size_t a = 0; a < arrays && at + 3 <= size; ++a) {
      const size_t units = size_t{c[at + 1]} << 8 | c[at + 2];
      at += 3;
      for (size_t u = 0; u < units && at + 2 <= size; ++u) {
        const size_t length = size_t{c[at]} << 8 | c[at + 1];
        at += 2;
        if (length > size - at) break;
        if (length == 0) continue;
        const uint8_t prefix[4] = {0, 0, static_cast<uint8_t>(length >> 8),
                                   static_cast<uint8_t>(length)};
        out->insert(out->end(), prefix, prefix + 4);
        out->insert(out->end(), c + at, c + at + length);
        at += length;
      }
    }
  } else if (size > 4) {
    // Four bytes of profile and format, then whole OBUs.
    out->insert(out->end(), c + 4, c + size);
  }
  return HeifItemData(items, meta, item, file, out, why);
}

bool EstimateHeifDecode(const HeifItems& items, const uint8_t* meta, const HeifFileBytes& file,
                        HeifDecodeCost* cost, std::string* why) {
  *cost = HeifDecodeCost();
  Estimator estimator(items, meta, file, why);
  Planar primary;
  if (!estimator.Image(items.primary, Role::kPrimary, 0, &primary)) {
    cost->unsupported = estimator.unsupported;
    return false;
  }
  cost->peak = primary.peak;
  cost->result = primary.result;
  cost->pixels = primary.pixels;
  cost->codedImages = estimator.codedImages;
  return true;
}

uint64_t HeifDecodePeak(const HeifDecodeCost& cost, int sampleBytes, int channels,
                        uint64_t* delivered) {
  // Converted to the interleaved layout asked for, in up to three steps.
  *delivered = SaturatingMultiply(SaturatingMultiply(cost.pixels, static_cast<uint64_t>(channels)),
                                  static_cast<uint64_t>(sampleBytes));
  const uint64_t peak =
      std::max(cost.peak, SaturatingAdd(cost.result, SaturatingMultiply(*delivered, 3)));
  // The allocator keeps some of what the decoder threads freed: an eighth more.
  return SaturatingAdd(peak, peak / 8);
}
