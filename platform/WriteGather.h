// Gathering the output file's rows into large writes: the plug-in writes one
// line at a time, and a system call per line costs more than the line.
// Shared by both platforms' output files; each supplies the two calls below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/FileWrite.h"

// Lines are gathered until the next would overflow this many bytes: enough
// that a system call costs nothing beside the bytes, small enough to stay
// out of the peak memory of a streamed export.
const size_t kGatherCapacity = size_t{1} << 18;

// Supplied by each platform. Writes all `count` bytes at the file's position;
// `*written` is how many the system took. False, with the system's reason
// left for the caller, when it took fewer.
bool WriteStraight(PlatformFile file, const char* data, size_t count, size_t* written);
// `count` bytes from `offset` have just been handed to the system: a hint to
// start writing them to the disk (a file that will be synced).
void StartWriteback(PlatformFile file, uint64_t offset, size_t count);

// Takes a slot and a buffer for a new output file. Everything is allocated
// here, before the first line: without a free slot the file is written
// straight through, and without a buffer each line goes out on its own.
// `handToDisk`: call StartWriteback after every write.
void GatherAttach(PlatformFile file, bool handToDisk);

// For PlatformWriteFile: false when `file` has no slot. Otherwise `*ok` is
// false when this or an earlier write of the file failed in the system; the
// failure of a gathered line can surface at a later line or at the finish.
bool GatherWrite(PlatformFile file, const void* data, int32_t count, int32_t* written, bool* ok);

// Gives up the slot of `file` and its buffer; with `flush`, writes out what
// is pending first. False when that write, or any earlier one, failed. A file
// without a slot has nothing pending: true.
bool GatherDetach(PlatformFile file, bool flush);
