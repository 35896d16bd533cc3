// The items of a HEIF file's meta box, read as libheif 1.15 reads them:
// which item is primary, each item's type, where its data lies (iloc, with
// idat), its properties (ipco, associated through every ipma box) and the
// references between items (iref). Where libheif would take the first of
// two boxes or entries, so does this; the offsets are into the meta box's
// payload as given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t FourCC(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8 | static_cast<uint8_t>(text[3]);
}

struct HeifItems {
  struct Span {
    size_t at = 0;  // a box's payload, in the meta box's
    size_t size = 0;
  };
  struct Property {
    uint32_t type = 0;
    Span payload;
  };
  struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  struct Item {
    uint32_t id = 0;
    uint32_t type = 0;  // 0 for an item without one (infe versions 0 and 1)
    bool hidden = false;
    bool located = false;  // has an iloc entry
    int construction = 0;  // 0: in the file, 1: in idat
    uint64_t baseOffset = 0;
    std::vector<Extent> extents;
    std::vector<uint16_t> properties;  // indices into `properties`, from 1, in order
  };
  struct Reference {
    uint32_t type = 0;
    uint32_t from = 0;
    std::vector<uint32_t> to;
  };

  uint32_t primary = 0;
  std::vector<Item> items;
  std::vector<Property> properties;
  std::vector<Reference> references;
  bool hasIdat = false;
  Span idat;

  const Item* Find(uint32_t id) const;
  // The items `from` refers to by `type`: the first such reference, as libheif.
  std::vector<uint32_t> References(uint32_t from, uint32_t type) const;
  // The first (or the last) property of `type` associated with the item, or
  // null: libheif takes a codec configuration from the first, a size (ispe)
  // and an auxiliary type (auxC) from the last.
  const Property* FindProperty(const Item& item, uint32_t type) const;
  const Property* FindLastProperty(const Item& item, uint32_t type) const;
};

// Reads the payload of a meta box (`size` bytes); false with the reason when
// it does not hold what libheif needs (a pitm, iinf, iloc and iprp).
bool ReadHeifItems(const uint8_t* meta, size_t size, HeifItems* items, std::string* why);
