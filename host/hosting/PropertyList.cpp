#include "host/hosting/PropertyList.h"

namespace {

uint32_t ReadU32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

uint32_t Code(const char (&c)[5]) {
  return static_cast<uint32_t>(static_cast<unsigned char>(c[0])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(c[1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(c[2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(c[3]));
}

// The text of a property's data: up to its first NUL.
std::string CText(const std::string& data) { return data.substr(0, data.find('\0')); }

}  // namespace

std::string FourCharText(uint32_t code) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>((code >> shift) & 0xFF);
    s += (c >= 0x20 && c <= 0x7E) ? c : '?';
  }
  return s;
}

bool ParsePropertyList(const std::string& bytes, PropertyListInfo* info, std::string* error) {
  if (bytes.size() < 10) {
    *error = "the property list is too short";
    return false;
  }
  uint32_t count = ReadU32(bytes, 6);
  size_t pos = 10;
  for (uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - pos < 16) {
      *error = "the property list ends inside property " + std::to_string(i + 1);
      return false;
    }
    uint32_t key = ReadU32(bytes, pos + 4);
    uint32_t length = ReadU32(bytes, pos + 12);
    pos += 16;
    if (length > bytes.size() - pos) {
      *error = "property '" + FourCharText(key) + "' runs past the end of the property list";
      return false;
    }
    std::string data = bytes.substr(pos, length);
    if (key == Code("kind") && length >= 4) {
      info->kind = ReadU32(data, 0);
    } else if (key == Code("name") && length >= 1) {
      size_t n = static_cast<unsigned char>(data[0]);
      info->name = data.substr(1, n);
    } else if (key == Code("vers") && length >= 4) {
      info->version = ReadU32(data, 0);
    } else if (key == Code("wx86")) {
      info->entryPoint = CText(data);
    }
    // Data is padded to a multiple of 4 in the lists we write; a length
    // that is not is taken as it stands.
    pos += length;
  }
  return true;
}
