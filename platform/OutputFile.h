// The output file's place in the file system. The export writes into a new
// temporary file beside the target and puts it in the target's place in one
// step only when everything has been written, so that a failed or cancelled
// export leaves an earlier file exactly as it was.
#pragma once

#include <cstddef>

#include "platform/FileWrite.h"

// Room for a temporary file's path: a folder of up to 255 characters, the
// temporary name and a NUL.
const size_t kTempPathSize = 272;

// False when the file at `path` could not be replaced now, as far as the
// system can tell: its folder is missing or not writable, the path names a
// folder, or the file is read-only or in use. A missing file is no obstacle.
bool PlatformTargetReplaceable(const char* path);

// A new empty file with a fresh name, made exclusively in `folder` (ending in
// a separator, or "" for the current folder) and open for writing only; its
// path goes to `tempPath`. 0 when none can be made.
PlatformFile PlatformCreateTempFile(const char* folder, char* tempPath, size_t tempPathSize);

enum PlatformCommitOutcome {
  kCommitDone,           // the temporary file now stands at the target path
  kCommitWriteFailed,    // its content could not be flushed to the disk
  kCommitReplaceFailed,  // it could not be put in the target's place
};

// Flushes and closes `file`, the temporary file at `tempPath`, and puts it in
// place of `path` in one atomic step. Unless that succeeds, the temporary file
// is removed and whatever stood at `path` is unchanged.
PlatformCommitOutcome PlatformCommitFile(PlatformFile file, const char* tempPath, const char* path);

// Closes `file` and removes the temporary file at `tempPath`.
void PlatformDiscardFile(PlatformFile file, const char* tempPath);
