// Strings from the module's own string table.
#pragma once

#include "platform/Platform.h"

// Loads string `id` into `buffer` (at most `bufferSize` − 1 characters and a
// NUL), in the system's ANSI code page (Windows-1252 on the POSIX stand-in),
// and returns the number of characters. A missing string gives 0 and an
// empty buffer.
int PlatformLoadString(PlatformInstance instance, unsigned id, char* buffer, int bufferSize);
