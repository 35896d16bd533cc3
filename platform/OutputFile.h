// The output file's place in the file system. The export writes into a new
// temporary file beside the target and puts it in the target's place in one
// step only when everything has been written, so that a failed or cancelled
// export leaves an earlier file exactly as it was.
//
// Whenever one of these calls fails, the system's reason for the call that
// failed is left for the caller (errno on POSIX, GetLastError on Windows):
// the clean-up after it (closing, removing the temporary file) keeps it, so a
// host can still tell the user why. Where the plug-in itself refuses a target
// on POSIX, errno says why: EISDIR for a folder, EPERM for a device, FIFO or
// socket, EACCES for a read-only file, ENOENT for a symbolic link that leads
// nowhere.
#pragma once

#include <cstddef>

#include "platform/FileWrite.h"

// Room for a temporary file's path: the folder of the file that the output
// path finally names (a symbolic link can lead anywhere), the temporary name
// and a NUL.
const size_t kTempPathSize = 4112;

// False when the file at `path` could not be replaced now, as far as the
// system can tell: its folder is missing or not writable, the path names a
// folder, or the file is read-only or in use. A missing file is no obstacle.
// On POSIX a symbolic link is followed to the file it finally names, and only
// a regular file is ever replaced: a link that leads nowhere, a device, a
// FIFO or a socket is refused, also for root, and so is a read-only file.
bool PlatformTargetReplaceable(const char* path);

// A new empty file with a fresh name, made exclusively beside the file that
// `path` names and open for writing only; its path goes to `tempPath`. 0 when
// none can be made. When a file stands at `path`, the new one has its
// permissions (and on POSIX its owner and group where the system allows),
// and it is the file behind a symbolic link that it will replace.
//
// On POSIX, temporary files that killed exports left in that folder are
// removed first (once per folder and process): names of the plug-in's own
// pattern only, regular files at least ten minutes old that no live export
// holds. Every live export holds its file with an advisory lock (flock).
//
// On POSIX the folder is held by a descriptor until the file is committed or
// discarded, and the target's name in it is fixed now: the file is renamed
// within that folder, or removed from it, even when the folder is renamed or
// a path to it is swapped for a symbolic link meanwhile.
PlatformFile PlatformCreateTempFile(const char* path, char* tempPath, size_t tempPathSize);

enum PlatformCommitOutcome {
  kCommitDone,           // the temporary file now stands at the target path
  kCommitWriteFailed,    // its content could not be flushed to the disk
  kCommitReplaceFailed,  // it could not be put in the target's place
};

// Flushes and closes `file`, the temporary file at `tempPath`, and puts it in
// place of `path` in one atomic step. Unless that succeeds, the temporary file
// is removed and whatever stood at `path` is unchanged. On POSIX, `path` is
// the target resolved when the file was made, in the folder held since; a
// symbolic link that has appeared at its name meanwhile is refused (EPERM).
//
// Durability: a file that replaces another is on the disk before it takes the
// name, so after a crash the name holds either the earlier file or the new
// one, each complete. A new file (nothing stood at `path`) is not synced: a
// crash soon after can leave it missing, empty or incomplete.
PlatformCommitOutcome PlatformCommitFile(PlatformFile file, const char* tempPath, const char* path);

// Closes `file` and removes the temporary file at `tempPath`.
void PlatformDiscardFile(PlatformFile file, const char* tempPath);
