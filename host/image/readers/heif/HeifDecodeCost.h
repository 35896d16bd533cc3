// What libheif 1.15 will allocate to decode a file's primary image, learnt
// from its items and the codec headers in their data before anything is
// decoded. It follows libheif's own path: a coded image (hvc1, av01) is
// decoded, converted to planar RGB and transformed (irot, clap); a grid
// pastes its tiles one by one into a canvas of the size its own data gives;
// an overlay (iovl) lays its images on a canvas; an identity (iden) is its
// image transformed; an alpha image is decoded beside the image it belongs
// to; the result is converted to the interleaved RGB or RGBA we ask for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/image/readers/heif/HeifItems.h"

struct HeifDecodeCost {
  // The primary image as libheif builds it before converting it to what we
  // ask for: the most bytes held at once while it is made, and what it
  // holds once made (planar, with any alpha plane), and its pixels.
  uint64_t peak = 0;
  uint64_t result = 0;
  uint64_t pixels = 0;
  uint32_t codedImages = 0;  // distinct coded images decoded, tiles and alpha included
  // Set when the estimate fails on an image coded in a way libheif 1.15
  // cannot decode (vvc1), so that it is told as unsupported, not corrupt.
  bool unsupported = false;
};

// The whole decode's peak, the delivered image included, when the image is
// asked for with `sampleBytes` (1 or 2) and `channels` (3 or 4); the
// delivered image's bytes in `delivered`.
uint64_t HeifDecodePeak(const HeifDecodeCost& cost, int sampleBytes, int channels,
                        uint64_t* delivered);

// Appends `length` bytes of the file from `offset` to `out`; false when the
// file does not hold them.
using HeifFileBytes =
    std::function<bool(uint64_t offset, uint64_t length, std::vector<uint8_t>* out)>;

// An item's data (its extents, in the file or in idat), appended to `out`;
// false with the reason when it lacks them.
bool HeifItemData(const HeifItems& items, const uint8_t* meta, const HeifItems::Item& item,
                  const HeifFileBytes& file, std::vector<uint8_t>* out, std::string* why);

// What libheif hands a coded item's decoder: the NAL units of its hvcC box,
// each after a 4-byte length, or the OBUs of its av1C box, then the item's
// own data.
bool HeifCodedData(const HeifItems& items, const uint8_t* meta, const HeifItems::Item& item,
                   const HeifFileBytes& file, std::vector<uint8_t>* out, std::string* why);

// False with the reason (to follow "corrupt HEIC data: ", or "unsupported
// HEIC file: " when `cost->unsupported` is set) when the primary
// image cannot be decoded as the items describe it: its images refer to
// each other in a loop, an item it needs lacks its data, or an image is
// coded at another size than its header (ispe) gives, on which libheif
// would misplace tiles or deliver an image of another size than it
// announced. `meta` is the meta box's payload the items were read from.
bool EstimateHeifDecode(const HeifItems& items, const uint8_t* meta, const HeifFileBytes& file,
                        HeifDecodeCost* cost, std::string* why);
