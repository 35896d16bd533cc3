// Writing to the open output file.
#pragma once

#include <cstdint>

// An open file as the plug-in keeps it in its globals (a Windows file handle,
// or a descriptor); 0 = none.
typedef int32_t PlatformFile;

// Writes `count` bytes. False when the system reports a failure; otherwise
// `*written` is the number of bytes written, which can fall short of `count`
// when the disk is full. The POSIX version goes on after interrupted and
// partial writes until everything is written or no progress can be made.
bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written);
