// The filter is a stream of our own put in place of stderr once, for the
// life of the process (glibc lets programs assign stderr): unbuffered, it
// writes straight to descriptor 2 unless its caller's thread is quiet.
// Replacing it once and never back leaves no window in which another
// thread could find stderr half restored.
#include "host/image/readers/LibraryOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace {

thread_local bool tQuiet = false;

ssize_t FilterWrite(void*, const char* data, size_t size) {
  if (tQuiet) return static_cast<ssize_t>(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(STDERR_FILENO, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(size);
}

void InstallFilter() {
  static std::once_flag once;
  std::call_once(once, [] {
    cookie_io_functions_t io = {nullptr, FilterWrite, nullptr, nullptr};
    FILE* filter = fopencookie(nullptr, "w", io);
    if (filter == nullptr) return;
    std::setvbuf(filter, nullptr, _IONBF, 0);
    std::fflush(stderr);
    stderr = filter;
  });
}

}  // namespace

QuietLibraryOutput::QuietLibraryOutput() : wasQuiet_(tQuiet) {
  InstallFilter();
  tQuiet = true;
}

QuietLibraryOutput::~QuietLibraryOutput() { tQuiet = wasQuiet_; }
