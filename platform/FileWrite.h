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
//
// An output file made by PlatformCreateTempFile gathers the lines into
// writes of kGatherCapacity bytes: a failure of the system then comes back as false
// from the write that meets it (a later line's, or PlatformCommitFile's
// kCommitWriteFailed), and a gathered write never reports a shortfall. Every
// other file is written straight through.
bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written);
