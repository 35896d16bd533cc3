// CountedStrings for tests. Each one lives in a heap block of exactly 256
// bytes, so the sanitizer build catches any write past it.
#pragma once

#include <memory>
#include <string>

#include "hostsupport/CountedString.h"

// A string holding `text` as it stands (up to 255 characters, as a host
// may hand over), with a NUL behind it when there is room.
inline std::unique_ptr<CountedString> MakeCounted(const std::string& text) {
  auto s = std::make_unique<CountedString>();
  ClearString(s.get());
  s->length = static_cast<unsigned char>(text.size());
  text.copy(s->chars, text.size());
  if (text.size() < 255) s->chars[text.size()] = '\0';
  return s;
}

inline std::string CountedText(const CountedString& s) { return std::string(s.chars, s.length); }
