#include "platform/PrintableText.h"

namespace {

const char kDigits[] = "0123456789abcdef";

std::string EscapedByte(unsigned char c) {
  switch (c) {
    case '\n': return "\\n";
    case '\t': return "\\t";
    case '\r': return "\\r";
    default: break;
  }
  return std::string("\\x") + kDigits[c >> 4] + kDigits[c & 15];
}

// The length of the well-formed UTF-8 sequence at text[at] that is not a C1
// control, or 0.
size_t GoodSequence(const std::string& text, size_t at) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char c = byte(0);
  const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (length == 0 || text.size() - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = byte(1);
  if (c == 0xC2 && second < 0xA0) return 0;   // U+0080..U+009F: C1 controls
  if (c == 0xE0 && second < 0xA0) return 0;   // overlong
  if (c == 0xED && second >= 0xA0) return 0;  // surrogates
  if (c == 0xF0 && second < 0x90) return 0;   // overlong
  if (c == 0xF4 && second >= 0x90) return 0;  // above U+10FFFF
  return length;
}

uint32_t CodePoint(const std::string& text, size_t at, size_t length) {
  static const unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t cp = static_cast<unsigned char>(text[at]) & kLeadBits[length];
  for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  return cp;
}

// Characters that change the order in which the text around them shows
// (Trojan-source style), or end its line on some terminals.
bool TurnsOrBreaksText(uint32_t cp) {
  return cp == 0x061C ||                   // Arabic letter mark
         cp == 0x200E || cp == 0x200F ||   // left-to-right and right-to-left marks
         (cp >= 0x2028 && cp <= 0x202E) || // line and paragraph separators, embeddings, overrides
         (cp >= 0x2066 && cp <= 0x2069);   // isolates
}

}  // namespace

std::string EscapedCodePoint(uint32_t cp) {
  std::string out = cp > 0xFFFF ? "\\U" : "\\u";
  for (int shift = cp > 0xFFFF ? 28 : 12; shift >= 0; shift -= 4) out += kDigits[(cp >> shift) & 15];
  return out;
}

PrintableCharacter NextPrintable(const std::string& text, size_t at) {
  PrintableCharacter next;
  const unsigned char c = static_cast<unsigned char>(text[at]);
  if (c >= 0x20 && c < 0x7F) {
    next.length = 1;
    next.shown = std::string(1, static_cast<char>(c));
    next.codePoint = c;
    return next;
  }
  next.length = c >= 0x80 ? GoodSequence(text, at) : 0;
  if (next.length == 0) {
    next.length = 1;
    next.shown = EscapedByte(c);
    next.escaped = true;
    return next;
  }
  const uint32_t cp = CodePoint(text, at, next.length);
  if (TurnsOrBreaksText(cp)) {
    next.shown = EscapedCodePoint(cp);
    next.escaped = true;
  } else {
    next.shown = text.substr(at, next.length);
    next.codePoint = cp;
  }
  return next;
}

std::string PrintableText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const PrintableCharacter next = NextPrintable(text, at);
    out += next.shown;
    at += next.length;
  }
  return out;
}
