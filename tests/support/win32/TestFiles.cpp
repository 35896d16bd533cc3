#include "support/TestFiles.h"

#include <windows.h>

PlatformFile CreateTestFile(const std::string& path) {
  HFILE file = _lcreat(path.c_str(), 0);
  return file == HFILE_ERROR ? 0 : static_cast<PlatformFile>(file);
}

void CloseTestFile(PlatformFile file) { _lclose(static_cast<HFILE>(file)); }
