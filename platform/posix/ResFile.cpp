#include "platform/posix/ResFile.h"

#include <cstring>

namespace {

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t ReadU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// A type or name field of an entry header: 0xFFFF and a number, or a
// NUL-terminated UTF-16 string. Advances `pos`; false when it runs past `end`.
bool IdMatches(const uint8_t* base, size_t end, size_t* pos, ResId wanted, bool* matches) {
  if (*pos + 2 > end) return false;
  if (ReadU16(base + *pos) == 0xFFFF) {
    if (*pos + 4 > end) return false;
    uint16_t number = ReadU16(base + *pos + 2);
    *pos += 4;
    *matches = wanted.name == nullptr && wanted.number == number;
    return true;
  }
  bool same = wanted.name != nullptr;
  size_t i = 0;
  for (;;) {
    if (*pos + 2 > end) return false;
    uint16_t unit = ReadU16(base + *pos);
    *pos += 2;
    if (unit == 0) break;
    if (same) {
      char want = wanted.name[i];
      auto upper = [](unsigned c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
      if (want == '\0' || upper(static_cast<unsigned char>(want)) != upper(unit)) same = false;
      ++i;
    }
  }
  *matches = same && wanted.name[i] == '\0';
  return true;
}

}  // namespace

bool ResFind(const uint8_t* image, size_t imageSize, ResId type, ResId name, uint16_t language,
             ResData* found) {
  size_t pos = 0;
  while (pos + 8 <= imageSize) {
    uint32_t dataSize = ReadU32(image + pos);
    uint32_t headerSize = ReadU32(image + pos + 4);
    // A header holds at least the two sizes, two ids and 16 bytes of fields.
    if (headerSize < 32 || headerSize > imageSize - pos) return false;
    size_t headerEnd = pos + headerSize;
    if (dataSize > imageSize - headerEnd) return false;

    size_t field = pos + 8;
    bool typeMatches = false;
    bool nameMatches = false;
    if (!IdMatches(image, headerEnd, &field, type, &typeMatches)) return false;
    if (!IdMatches(image, headerEnd, &field, name, &nameMatches)) return false;
    field = (field + 3) & ~static_cast<size_t>(3);
    // DataVersion (4), MemoryFlags (2), LanguageId (2), Version, Characteristics.
    if (field + 16 > headerEnd) return false;
    uint16_t entryLanguage = ReadU16(image + field + 6);

    if (typeMatches && nameMatches && (language == kResAnyLanguage || language == entryLanguage)) {
      found->bytes = image + headerEnd;
      found->size = dataSize;
      return true;
    }
    size_t next = headerEnd + dataSize;
    next = (next + 3) & ~static_cast<size_t>(3);
    if (next <= pos) return false;
    pos = next;
  }
  return false;
}

bool ResFindString(const uint8_t* image, size_t imageSize, unsigned id, const uint8_t** utf16,
                   uint32_t* units) {
  if (id > 0xFFFF) return false;
  ResData block{};
  uint16_t blockId = static_cast<uint16_t>((id >> 4) + 1);
  if (!ResFind(image, imageSize, ResNumber(kResTypeString), ResNumber(blockId), kResAnyLanguage,
               &block)) {
    return false;
  }
  // A block holds 16 strings, each a 16-bit count of UTF-16 units and the units.
  uint32_t pos = 0;
  for (unsigned index = 0; index < 16; ++index) {
    if (pos + 2 > block.size) return false;
    uint32_t count = ReadU16(block.bytes + pos);
    pos += 2;
    if (count * 2 > block.size - pos) return false;
    if (index == (id & 15u)) {
      if (count == 0) return false;
      *utf16 = block.bytes + pos;
      *units = count;
      return true;
    }
    pos += count * 2;
  }
  return false;
}
