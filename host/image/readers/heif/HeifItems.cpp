#include "host/image/readers/heif/HeifItems.h"

namespace {

// Big-endian fields of a box, refusing to read past its end.
class Fields {
 public:
  Fields(const uint8_t* data, size_t at, size_t end) : data_(data), at_(at), end_(end) {}
  uint64_t Read(int bytes) {
    if (bytes < 0 || end_ - at_ < static_cast<size_t>(bytes) || at_ > end_) {
      failed = true;
      at_ = end_;
      return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | data_[at_++];
    return value;
  }
  // A null-terminated string, skipped.
  void SkipString() {
    while (at_ < end_ && data_[at_] != 0) ++at_;
    if (at_ < end_) ++at_;
  }
  bool AtEnd() const { return at_ >= end_; }
  bool failed = false;

 private:
  const uint8_t* data_;
  size_t at_;
  size_t end_;
};

struct Box {
  uint32_t type = 0;
  size_t payload = 0;  // where its contents start
  size_t end = 0;
};

// The boxes within [at, end), as libheif reads children: all of them or none.
bool Children(const uint8_t* data, size_t at, size_t end, std::vector<Box>* boxes) {
  while (at < end) {
    if (end - at < 8) return false;
    Fields f(data, at, end);
    uint64_t size = f.Read(4);
    const uint32_t type = static_cast<uint32_t>(f.Read(4));
    size_t header = 8;
    if (size == 1) {
      size = f.Read(8);
      header = 16;
    }
    if (type == FourCC("uuid")) header += 16;
    if (f.failed || size < header || size > end - at) return false;
    boxes->push_back(Box{type, at + header, at + static_cast<size_t>(size)});
    at += static_cast<size_t>(size);
  }
  return true;
}

const Box* First(const std::vector<Box>& boxes, uint32_t type) {
  for (const Box& box : boxes) {
    if (box.type == type) return &box;
  }
  return nullptr;
}

bool ReadItemInfo(const uint8_t* data, const Box& iinf, HeifItems* out) {
  Fields f(data, iinf.payload, iinf.end);
  const int version = static_cast<int>(f.Read(4) >> 24);
  f.Read(version > 0 ? 4 : 2);  // the count; every child box is read
  if (f.failed) return false;
  std::vector<Box> entries;
  if (!Children(data, iinf.payload + 4 + (version > 0 ? 4 : 2), iinf.end, &entries)) return false;
  for (const Box& entry : entries) {
    if (entry.type != FourCC("infe")) continue;
    Fields e(data, entry.payload, entry.end);
    const uint32_t head = static_cast<uint32_t>(e.Read(4));
    const int infeVersion = static_cast<int>(head >> 24);
    HeifItems::Item item;
    if (infeVersion <= 1) {
      item.id = static_cast<uint32_t>(e.Read(2));
    } else {
      item.hidden = (head & 1) != 0;
      item.id = static_cast<uint32_t>(e.Read(infeVersion == 2 ? 2 : 4));
      e.Read(2);  // item_protection_index
      item.type = static_cast<uint32_t>(e.Read(4));
    }
    if (e.failed) return false;
    // A second entry for an item changes nothing (libheif keeps the first).
    if (out->Find(item.id) == nullptr) out->items.push_back(item);
  }
  return true;
}

bool ReadLocations(const uint8_t* data, const Box& iloc, HeifItems* out) {
  Fields f(data, iloc.payload, iloc.end);
  const int version = static_cast<int>(f.Read(4) >> 24);
  const uint32_t sizes = static_cast<uint32_t>(f.Read(2));
  const int offsetSize = sizes >> 12 & 15, lengthSize = sizes >> 8 & 15, baseSize = sizes >> 4 & 15;
  const int indexSize = version > 1 ? static_cast<int>(sizes & 15) : 0;
  const uint64_t count = f.Read(version < 2 ? 2 : 4);
  auto field = [&f](int size) { return size == 4 || size == 8 ? f.Read(size) : 0; };
  std::vector<bool> seen(out->items.size(), false);
  for (uint64_t i = 0; i < count && !f.failed; ++i) {
    const uint32_t id = static_cast<uint32_t>(f.Read(version < 2 ? 2 : 4));
    const int construction = version >= 1 ? static_cast<int>(f.Read(2) & 15) : 0;
    f.Read(2);  // data_reference_index
    const uint64_t base = field(baseSize);
    const uint64_t extents = f.Read(2);
    std::vector<HeifItems::Extent> list;
    for (uint64_t e = 0; e < extents && !f.failed; ++e) {
      if (indexSize > 0) field(indexSize);
      HeifItems::Extent extent;
      extent.offset = field(offsetSize);
      extent.length = field(lengthSize);
      list.push_back(extent);
    }
    if (f.failed) return false;
    for (size_t k = 0; k < out->items.size(); ++k) {
      HeifItems::Item& item = out->items[k];
      if (item.id != id || seen[k]) continue;
      seen[k] = true;  // the first entry for an item is the one libheif reads
      item.located = true;
      item.construction = construction;
      item.baseOffset = base;
      item.extents = list;
    }
  }
  return !f.failed;
}

bool ReadProperties(const uint8_t* data, const Box& iprp, HeifItems* out) {
  std::vector<Box> children;
  if (!Children(data, iprp.payload, iprp.end, &children)) return false;
  const Box* ipco = First(children, FourCC("ipco"));
  if (ipco == nullptr) return false;
  std::vector<Box> properties;
  if (!Children(data, ipco->payload, ipco->end, &properties)) return false;
  for (const Box& p : properties)
    out->properties.push_back({p.type, {p.payload, p.end - p.payload}});
  // Every ipma box, their entries in order; an item's are its first entry's.
  std::vector<bool> seen(out->items.size(), false);
  bool anyIpma = false;
  for (const Box& ipma : children) {
    if (ipma.type != FourCC("ipma")) continue;
    anyIpma = true;
    Fields f(data, ipma.payload, ipma.end);
    const uint32_t head = static_cast<uint32_t>(f.Read(4));
    const int version = static_cast<int>(head >> 24);
    const bool wide = (head & 1) != 0;
    const uint64_t entries = f.Read(4);
    for (uint64_t i = 0; i < entries && !f.failed && !f.AtEnd(); ++i) {
      const uint32_t id = static_cast<uint32_t>(f.Read(version < 1 ? 2 : 4));
      const uint64_t count = f.Read(1);
      std::vector<uint16_t> indices;
      for (uint64_t k = 0; k < count; ++k) {
        indices.push_back(static_cast<uint16_t>(wide ? f.Read(2) & 0x7FFF : f.Read(1) & 0x7F));
      }
      if (f.failed) return false;
      for (size_t k = 0; k < out->items.size(); ++k) {
        if (out->items[k].id != id || seen[k]) continue;
        seen[k] = true;
        for (uint16_t index : indices) {
          if (index > out->properties.size()) return false;
          if (index > 0) out->items[k].properties.push_back(index);
        }
      }
    }
    if (f.failed) return false;
  }
  return anyIpma;
}

// libheif reads each reference's header and then as many item IDs as it
// counts, whatever size the header gives: so is it read here.
bool ReadReferences(const uint8_t* data, const Box& iref, HeifItems* out) {
  Fields f(data, iref.payload, iref.end);
  const int version = static_cast<int>(f.Read(4) >> 24);
  const int idSize = version == 0 ? 2 : 4;
  while (!f.failed && !f.AtEnd()) {
    HeifItems::Reference reference;
    const uint64_t size = f.Read(4);
    reference.type = static_cast<uint32_t>(f.Read(4));
    if (size == 1) f.Read(8);
    if (reference.type == FourCC("uuid")) {
      f.Read(8);
      f.Read(8);
    }
    reference.from = static_cast<uint32_t>(f.Read(idSize));
    const uint64_t count = f.Read(2);
    for (uint64_t i = 0; i < count && !f.failed; ++i) {
      reference.to.push_back(static_cast<uint32_t>(f.Read(idSize)));
      if (f.AtEnd()) break;
    }
    if (f.failed) return false;
    out->references.push_back(reference);
  }
  return !f.failed;
}

}  // namespace

const HeifItems::Item* HeifItems::Find(uint32_t id) const {
  for (const Item& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

std::vector<uint32_t> HeifItems::References(uint32_t from, uint32_t type) const {
  for (const Reference& reference : references) {
    if (reference.from == from && reference.type == type) return reference.to;
  }
  return {};
}

const HeifItems::Property* HeifItems::FindProperty(const Item& item, uint32_t type) const {
  for (uint16_t index : item.properties) {
    if (properties[index - 1].type == type) return &properties[index - 1];
  }
  return nullptr;
}

const HeifItems::Property* HeifItems::FindLastProperty(const Item& item, uint32_t type) const {
  const Property* found = nullptr;
  for (uint16_t index : item.properties) {
    if (properties[index - 1].type == type) found = &properties[index - 1];
  }
  return found;
}

bool ReadHeifItems(const uint8_t* meta, size_t size, HeifItems* items, std::string* why) {
  *items = HeifItems();
  std::vector<Box> boxes;
  // meta is a full box: its version and flags come first.
  if (size < 4 || !Children(meta, 4, size, &boxes)) {
    *why = "its meta box is malformed";
    return false;
  }
  const Box* pitm = First(boxes, FourCC("pitm"));
  const Box* iinf = First(boxes, FourCC("iinf"));
  const Box* iloc = First(boxes, FourCC("iloc"));
  const Box* iprp = First(boxes, FourCC("iprp"));
  const Box* iref = First(boxes, FourCC("iref"));
  const Box* idat = First(boxes, FourCC("idat"));
  if (pitm == nullptr || iinf == nullptr || iloc == nullptr || iprp == nullptr) {
    *why = "its meta box lacks the boxes that describe its images";
    return false;
  }
  Fields p(meta, pitm->payload, pitm->end);
  const int version = static_cast<int>(p.Read(4) >> 24);
  items->primary = static_cast<uint32_t>(p.Read(version == 0 ? 2 : 4));
  if (idat != nullptr) {
    items->hasIdat = true;
    items->idat = {idat->payload, idat->end - idat->payload};
  }
  if (p.failed || !ReadItemInfo(meta, *iinf, items) || !ReadLocations(meta, *iloc, items) ||
      !ReadProperties(meta, *iprp, items) ||
      (iref != nullptr && !ReadReferences(meta, *iref, items))) {
    *why = "the boxes that describe its images are malformed";
    return false;
  }
  return true;
}
