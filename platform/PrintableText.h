// Texts from outside (file and folder names) as they may be shown on a
// terminal: control characters, the C1 controls and bytes that are not
// UTF-8 as escapes (\n, \t, \r, \x1b ...), and the characters that turn or
// break the text around them (the bidirectional controls and marks, the
// line and paragraph separators) as \u202e and so on, so that a name cannot
// move the cursor, clear the screen, set the window's title or the
// clipboard, end a line or show itself in another order. A backslash stays
// as it is, so a text made printable stays the same when made printable
// again. Only what is shown is escaped: the text itself is used as it is.
//
// Shared by the plug-in's terminal dialog and the host's progress bar; the
// host's messages follow the same rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The character of `text` that starts at byte `at`.
struct PrintableCharacter {
  size_t length = 0;       // the bytes of `text` it takes
  std::string shown;       // the character itself, or its escape
  uint32_t codePoint = 0;  // the character when it is shown as it is
  bool escaped = false;
};
PrintableCharacter NextPrintable(const std::string& text, size_t at);

// The whole text, each character as NextPrintable shows it.
std::string PrintableText(const std::string& text);

// "\u00e9" for a character below U+10000, "\U0001f600" above.
std::string EscapedCodePoint(uint32_t codePoint);
