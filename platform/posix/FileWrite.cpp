#include "platform/FileWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The output file is flushed to the disk before it replaces the target. Left
// to the end, that flush waits for every byte at once; handing each finished
// stretch to the disk while the export goes on lets the writing overlap the
// rendering, and the final flush finds little left to do.
const off_t kWritebackStretch = off_t{1} << 20;

void StartWriteback(int fd, off_t before, off_t after) {
  if (before / kWritebackStretch == after / kWritebackStretch) return;
  off_t end = after / kWritebackStretch * kWritebackStretch;
  // Only a hint: a pipe or a file system without it simply says no.
  (void)sync_file_range(fd, end - kWritebackStretch, kWritebackStretch, SYNC_FILE_RANGE_WRITE);
}

}  // namespace

bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written) {
  if (count < 0) return false;
  const char* p = static_cast<const char*>(data);
  const off_t before = lseek(file, 0, SEEK_CUR);
  int32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(file, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      // Nothing at all written is a failure; after a partial write the
      // shortfall itself tells the caller.
      if (done == 0) return false;
      break;
    }
    if (n == 0) break;
    done += static_cast<int32_t>(n);
  }
  *written = done;
  if (before >= 0) StartWriteback(file, before, before + done);
  return true;
}
