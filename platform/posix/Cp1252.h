// Windows-1252, the ANSI code page the plug-in's texts are written in: the
// POSIX stand-ins load strings into it, as LoadStringA does on a US system,
// and turn them into UTF-8 only when they reach a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The Windows-1252 byte of a UTF-16 unit, '?' when it has none.
unsigned char Cp1252FromUtf16(uint16_t unit);

// UTF-8 text of a NUL-terminated Windows-1252 string.
std::string Utf8FromCp1252(const char* text);
