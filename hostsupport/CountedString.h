// Length-prefixed strings of 256 bytes: a length byte, the characters and a
// NUL after the last one, so the characters can always be handed on as a C
// string. The operations keep a string at 254 characters or fewer and never
// write outside its 256 bytes.
#pragma once

#include <cstdint>

#include "plugin/HostInterface.h"

struct CountedString {
  unsigned char length;
  char chars[255];
};
static_assert(sizeof(CountedString) == 256, "a CountedString is exactly 256 bytes");

const int kCountedStringMax = 254;

void ClearString(CountedString* destination);

// Appends `count` bytes of `source` from index `start` on. `source` is any
// byte array; to append the characters of a CountedString pass it as bytes
// with start 1.
void AppendChars(CountedString* destination, const void* source, int16_t start, int16_t count);

void AppendChar(CountedString* destination, char character);

// The handle's first bytes (at most 254), NULs included; empty for no handle.
void CopyHandleToString(HandleProcs* procs, Handle handle, CountedString* destination);

// The string's bytes, length byte first, for appending one string to another.
inline const unsigned char* CountedBytes(const CountedString* s) {
  return reinterpret_cast<const unsigned char*>(s);
}
