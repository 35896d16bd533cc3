// Movable, zero-filled memory blocks with the contract of Windows global
// memory: the fallback of the handle services is built on it. On Windows this
// is GlobalAlloc and its companions; elsewhere an equivalent on the heap.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* PlatformMemoryBlock;  // null = none

// A new zero-filled movable block of `size` bytes, or null. A block of 0
// bytes is created discarded, as Windows does: it cannot be locked.
PlatformMemoryBlock PlatformGlobalAlloc(uint32_t size);

// The block's address, or null when it cannot be locked.
void* PlatformGlobalLock(PlatformMemoryBlock block);

void PlatformGlobalUnlock(PlatformMemoryBlock block);

// The block whose locked address is `address`, or null when there is none.
PlatformMemoryBlock PlatformGlobalHandle(const void* address);

// The usable size of the block (at least the size asked for), 0 for none.
size_t PlatformGlobalSize(PlatformMemoryBlock block);

void PlatformGlobalFree(PlatformMemoryBlock block);
