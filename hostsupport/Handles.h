// Handles: through the host's handle suite when it offers a usable one,
// otherwise through movable global memory shaped the same way (the handle is
// the address of a word that holds the data address).
#pragma once

#include <cstdint>

#include "plugin/HostInterface.h"

// The block a fallback handle points to.
struct HandleHeader {
  char* dataAddress;
  char tag[4];  // "OTOF"
};

bool HandleProcsAvailable(const HandleProcs* procs);

Handle NewHandle(HandleProcs* procs, int32_t size);
void DisposeHandle(HandleProcs* procs, Handle handle);
int32_t GetHandleSize(HandleProcs* procs, Handle handle);
char* LockHandle(HandleProcs* procs, Handle handle, bool moveHigh);
void UnlockHandle(HandleProcs* procs, Handle handle);
