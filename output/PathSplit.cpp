#include "output/PathSplit.h"

PathSplit SplitPath(const char* path, size_t length) {
  PathSplit split{0, 0, length, length};
  if (length >= 2 && path[1] == ':') split.directoryStart = 2;

  split.baseStart = split.directoryStart;
  for (size_t i = split.directoryStart; i < length; ++i) {
    if (IsPathSeparator(path[i])) split.baseStart = i + 1;
  }
  for (size_t i = length; i > split.baseStart; --i) {
    if (path[i - 1] == '.') {
      split.extensionStart = i - 1;
      break;
    }
  }
  return split;
}
