#include "support/TestFiles.h"

#include <fcntl.h>
#include <unistd.h>

PlatformFile CreateTestFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  if (fd < 3) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    fd = high;
  }
  return fd;
}

void CloseTestFile(PlatformFile file) { ::close(file); }
