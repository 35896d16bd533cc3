#include "platform/FileWrite.h"

#include <windows.h>

#include "platform/WriteGather.h"

bool WriteStraight(PlatformFile file, const char* data, size_t count, size_t* written) {
  size_t done = 0;
  while (done < count) {
    size_t chunk = count - done;
    if (chunk > 0x40000000u) chunk = 0x40000000u;
    UINT n = _lwrite(static_cast<HFILE>(file), data + done, static_cast<UINT>(chunk));
    if (n == static_cast<UINT>(HFILE_ERROR)) break;
    if (n == 0) {
      SetLastError(ERROR_DISK_FULL);
      break;
    }
    done += n;
  }
  *written = done;
  return done == count;
}

// Windows syncs a replacing file only at the end.
void StartWriteback(PlatformFile, uint64_t, size_t) {}

bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written) {
  if (count < 0) return false;
  bool ok = false;
  if (GatherWrite(file, data, count, written, &ok)) return ok;
  UINT n = _lwrite(static_cast<HFILE>(file), static_cast<LPCCH>(data), static_cast<UINT>(count));
  if (n == static_cast<UINT>(HFILE_ERROR)) return false;
  *written = static_cast<int32_t>(n);
  return true;
}
