// Reader of compiled Windows resource files (.res), the form in which the
// native module carries the very bytes windres made for the Windows module.
// Used by the POSIX string loader and by the command-line host, which reads a
// module's property list the way a Windows host finds it with FindResource.
#pragma once

#include <cstddef>
#include <cstdint>

// A resource type or name: a number, or (when `name` is set) an ASCII name
// compared without regard to case, as Windows does.
struct ResId {
  const char* name;
  uint16_t number;
};

inline ResId ResNumber(uint16_t number) { return ResId{nullptr, number}; }
inline ResId ResName(const char* name) { return ResId{name, 0}; }

enum : uint16_t {
  kResTypeDialog = 5,  // RT_DIALOG
  kResTypeString = 6,  // RT_STRING
  kResAnyLanguage = 0xFFFF,
};

struct ResData {
  const uint8_t* bytes;
  uint32_t size;
};

// Finds a resource in the .res image; false when absent or when the image is
// malformed. Never reads outside [image, image + imageSize).
bool ResFind(const uint8_t* image, size_t imageSize, ResId type, ResId name, uint16_t language,
             ResData* found);

// Finds string `id` of the string table as UTF-16 code units; false when
// the table has no such string (or it is empty).
bool ResFindString(const uint8_t* image, size_t imageSize, unsigned id, const uint8_t** utf16,
                   uint32_t* units);
