// Splitting a path into drive, directory, base name and extension, by the
// rule of the Windows runtime's _splitpath, on every platform: a drive is the
// first two characters when the second is a colon; the directory runs up to
// and including the last slash or backslash; the extension starts at the last
// dot after the directory. The pieces lie one after another, so a split is
// four offsets into the path.
#pragma once

#include <cstddef>

struct PathSplit {
  size_t directoryStart;  // end of the drive: 2 or 0
  size_t baseStart;       // end of the folder part (drive and directory)
  size_t extensionStart;  // the extension's dot, or `end` when there is none
  size_t end;
};

PathSplit SplitPath(const char* path, size_t length);

inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }
