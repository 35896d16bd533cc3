#include "platform/ModuleResources.h"

#include <windows.h>

int PlatformLoadString(PlatformInstance instance, unsigned id, char* buffer, int bufferSize) {
  if (buffer == nullptr || bufferSize <= 0) return 0;
  buffer[0] = '\0';
  int n = LoadStringA(static_cast<HINSTANCE>(instance), id, buffer, bufferSize);
  if (n <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  return n;
}
