#include "platform/FileWrite.h"

#include <windows.h>

bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written) {
  if (count < 0) return false;
  UINT n = _lwrite(static_cast<HFILE>(file), static_cast<LPCCH>(data), static_cast<UINT>(count));
  if (n == static_cast<UINT>(HFILE_ERROR)) return false;
  *written = static_cast<int32_t>(n);
  return true;
}
