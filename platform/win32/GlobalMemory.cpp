#include "platform/GlobalMemory.h"

#include <windows.h>

PlatformMemoryBlock PlatformGlobalAlloc(uint32_t size) {
  return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
}

void* PlatformGlobalLock(PlatformMemoryBlock block) {
  return GlobalLock(static_cast<HGLOBAL>(block));
}

void PlatformGlobalUnlock(PlatformMemoryBlock block) {
  GlobalUnlock(static_cast<HGLOBAL>(block));
}

PlatformMemoryBlock PlatformGlobalHandle(const void* address) {
  return GlobalHandle(address);
}

size_t PlatformGlobalSize(PlatformMemoryBlock block) {
  return GlobalSize(static_cast<HGLOBAL>(block));
}

void PlatformGlobalFree(PlatformMemoryBlock block) {
  GlobalFree(static_cast<HGLOBAL>(block));
}
