// Reading a module's property list the way a host decides whether and how
// to call it.
#pragma once

#include <cstdint>
#include <string>

struct PropertyListInfo {
  uint32_t kind = 0;          // 'kind', e.g. '8BEM' for an export module
  std::string name;           // 'name': the menu name
  uint32_t version = 0;       // 'vers': interface version, major in the high 16 bits
  std::string entryPoint;     // 'wx86': the entry point's name
};

// Parses a property list (all numbers little-endian). False, with a reason,
// when it is malformed; missing properties are left empty.
bool ParsePropertyList(const std::string& bytes, PropertyListInfo* info, std::string* error);

// "8BEM" from its 32-bit code.
std::string FourCharText(uint32_t code);
