#include "platform/FileWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/WriteGather.h"

bool WriteStraight(PlatformFile file, const char* data, size_t count, size_t* written) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(file, data + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) {
      // No progress and no reason from the system: the disk took nothing.
      errno = ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  *written = done;
  return done == count;
}

// A file that is synced before it replaces another is handed to the disk as
// it grows: the writing overlaps the rendering, and the final sync finds
// little left to do. Only a hint: a file system without it simply says no.
void StartWriteback(PlatformFile file, uint64_t offset, size_t count) {
  (void)sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(count),
                        SYNC_FILE_RANGE_WRITE);
}

bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written) {
  if (count < 0) return false;
  bool ok = false;
  if (GatherWrite(file, data, count, written, &ok)) return ok;

  size_t done = 0;
  bool complete = WriteStraight(file, static_cast<const char*>(data), static_cast<size_t>(count), &done);
  // Nothing at all written is a failure; after a partial write the shortfall
  // itself tells the caller.
  if (!complete && done == 0) return false;
  *written = static_cast<int32_t>(done);
  return true;
}
