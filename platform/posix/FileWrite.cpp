#include "platform/FileWrite.h"

#include <cerrno>
#include <unistd.h>

bool PlatformWriteFile(PlatformFile file, const void* data, int32_t count, int32_t* written) {
  if (count < 0) return false;
  const char* p = static_cast<const char*>(data);
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
  return true;
}
