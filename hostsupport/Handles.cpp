#include "hostsupport/Handles.h"

#include <cstring>

#include "platform/GlobalMemory.h"

namespace {

const char kFallbackTag[4] = {'O', 'T', 'O', 'F'};

// Allocates and locks one block; on failure nothing stays allocated.
void* AllocateLockedBlock(uint32_t size) {
  PlatformMemoryBlock block = PlatformGlobalAlloc(size);
  if (block == nullptr) return nullptr;
  void* address = PlatformGlobalLock(block);
  if (address == nullptr) PlatformGlobalFree(block);
  return address;
}

void ReleaseLockedBlock(const void* address) {
  PlatformMemoryBlock block = PlatformGlobalHandle(address);
  if (block == nullptr) return;
  PlatformGlobalUnlock(block);
  PlatformGlobalFree(block);
}

Handle FallbackNew(int32_t size) {
  if (size < 0) return nullptr;
  auto* header = static_cast<HandleHeader*>(AllocateLockedBlock(sizeof(HandleHeader)));
  if (header == nullptr) return nullptr;
  auto* data = static_cast<char*>(AllocateLockedBlock(static_cast<uint32_t>(size)));
  if (data == nullptr) {
    ReleaseLockedBlock(header);
    return nullptr;
  }
  header->dataAddress = data;
  std::memcpy(header->tag, kFallbackTag, sizeof kFallbackTag);
  return reinterpret_cast<Handle>(header);
}

void FallbackDispose(Handle handle) {
  if (handle == nullptr) return;
  auto* header = reinterpret_cast<HandleHeader*>(handle);
  if (header->dataAddress != nullptr) ReleaseLockedBlock(header->dataAddress);
  ReleaseLockedBlock(header);
}

int32_t FallbackGetSize(Handle handle) {
  if (handle == nullptr) return 0;
  auto* header = reinterpret_cast<HandleHeader*>(handle);
  PlatformMemoryBlock block = PlatformGlobalHandle(header->dataAddress);
  if (block == nullptr) return 0;
  size_t size = PlatformGlobalSize(block);
  return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

}  // namespace

bool HandleProcsAvailable(const HandleProcs* procs) {
  if (procs == nullptr) return false;
  if (procs->handleProcsVersion < 1 || procs->handleProcsVersion > 1) return false;
  if (procs->numHandleProcs < 8) return false;
  return procs->newProc != nullptr && procs->disposeProc != nullptr &&
         procs->getSizeProc != nullptr && procs->setSizeProc != nullptr;
}

Handle NewHandle(HandleProcs* procs, int32_t size) {
  if (HandleProcsAvailable(procs)) return procs->newProc(size);
  return FallbackNew(size);
}

void DisposeHandle(HandleProcs* procs, Handle handle) {
  if (HandleProcsAvailable(procs)) {
    procs->disposeProc(handle);
    return;
  }
  FallbackDispose(handle);
}

int32_t GetHandleSize(HandleProcs* procs, Handle handle) {
  if (HandleProcsAvailable(procs)) return procs->getSizeProc(handle);
  return FallbackGetSize(handle);
}

// The availability test does not cover lockProc and unlockProc; a host that
// leaves them out gets a failed lock and a skipped unlock rather than a call
// through a null pointer.
char* LockHandle(HandleProcs* procs, Handle handle, bool moveHigh) {
  if (HandleProcsAvailable(procs)) {
    if (procs->lockProc == nullptr) return nullptr;
    return procs->lockProc(handle, moveHigh ? 1 : 0);
  }
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<HandleHeader*>(handle)->dataAddress;
}

void UnlockHandle(HandleProcs* procs, Handle handle) {
  if (HandleProcsAvailable(procs)) {
    if (procs->unlockProc != nullptr) procs->unlockProc(handle);
  }
  // Fallback handles stay locked from creation to disposal.
}
