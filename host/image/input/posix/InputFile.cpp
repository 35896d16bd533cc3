// Input files on POSIX systems. The type of a named file is looked at
// before it is opened, so that a device is never opened at all; a named pipe
// is opened without waiting for a writer. Pipes are copied into a
// temporary file with a fixed-size buffer, waiting for data with poll() so
// that the cancel flag is seen while a writer is slow.
#include "host/image/input/InputFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/image/input/ImageSource.h"

namespace {

constexpr size_t kSpoolBuffer = 64 * 1024;
constexpr int kPollMilliseconds = 100;

// "a folder" and so on for files that hold no image, or null.
const char* SpecialKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return nullptr;
}

std::string Reason(int code) { return std::string("(") + std::strerror(code) + ")"; }

bool Cancelled(const volatile std::sig_atomic_t* cancel) { return cancel != nullptr && *cancel != 0; }

// An unlinked file for the copy, in $TMPDIR or /tmp.
int TemporaryFile(std::string* folder) {
  const char* dir = std::getenv("TMPDIR");
  *folder = dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
#ifdef O_TMPFILE
  int fd = open(folder->c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string pattern = *folder + "/glyphweave-input-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd2 = mkostemp(name.data(), O_CLOEXEC);
  if (fd2 >= 0) unlink(name.data());
  return fd2;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies everything `in` delivers into a temporary file; closes `in`.
bool Spool(int in, bool namedPipe, const std::string& name, const CopyRules& rules, FILE** file,
           std::string* error) {
  const InputHeadCheck check = rules.check;
  auto fail = [&](int tmp, const std::string& message) {
    if (tmp >= 0) close(tmp);
    close(in);
    *error = message;
    return false;
  };
  std::string folder;
  int out = TemporaryFile(&folder);
  if (out < 0) {
    return fail(-1, name + ": cannot be read: no temporary file for it in " + folder + " " + Reason(errno));
  }
  std::vector<uint8_t> buffer(kSpoolBuffer);
  uint8_t head[16];
  size_t headSize = 0;
  bool checked = false;
  uint64_t total = 0;
  for (;;) {
    if (Cancelled(rules.cancel)) return fail(out, name + ": interrupted");
    // A blocking read would not see the cancel flag: wait in short steps.
    // A named pipe reads without blocking first, so that a pipe without a
    // writer ends at once (poll() would wait for one).
    if (!namedPipe) {
      pollfd wait = {in, POLLIN, 0};
      int ready = poll(&wait, 1, kPollMilliseconds);
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    }
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd wait = {in, POLLIN, 0};
      if (namedPipe) poll(&wait, 1, kPollMilliseconds);
      continue;
    }
    if (n < 0) return fail(out, name + ": cannot be read " + Reason(errno));
    if (n == 0) break;
    if (!checked) {
      size_t take = std::min(sizeof head - headSize, static_cast<size_t>(n));
      std::memcpy(head + headSize, buffer.data(), take);
      headSize += take;
      if (headSize == sizeof head) {
        checked = true;
        if (check != nullptr && !check(head, headSize, name, error)) return fail(out, *error);
      }
    }
    // Endless input would fill the temporary folder's disk (or, on tmpfs,
    // memory); the copy is unlinked, so closing it gives the space back.
    if (rules.limit != 0 && static_cast<uint64_t>(n) > rules.limit - total) {
      return fail(out, name + ": more than the limit of " + DescribeBytes(rules.limit) +
                           " for input through a pipe (--max-input changes it)");
    }
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
      return fail(out, name + ": cannot be read: the copy in " + folder + " failed " + Reason(errno));
    }
    total += static_cast<uint64_t>(n);
  }
  if (total == 0) {
    return fail(out, name + (namedPipe ? ": no data: a pipe with no writer" : ": no data"));
  }
  if (!checked && check != nullptr && !check(head, headSize, name, error)) return fail(out, *error);
  close(in);
  if (lseek(out, 0, SEEK_SET) != 0) return fail(out, name + ": cannot be read " + Reason(errno));
  *file = fdopen(out, "rb");
  if (*file == nullptr) {
    int code = errno;
    close(out);
    *error = name + ": cannot be read " + Reason(code);
    return false;
  }
  return true;
}

}  // namespace

bool OpenInputFile(const char* path, const CopyRules& rules, FILE** file, std::string* name,
                   std::string* error) {
  *file = nullptr;
  const bool standardInput = std::strcmp(path, "-") == 0;
  *name = standardInput ? "standard input" : path;
  auto fail = [&](const std::string& message) {
    *error = *name + message;
    return false;
  };
  struct stat st;
  int fd = -1;
  if (standardInput) {
    if (fstat(STDIN_FILENO, &st) != 0) return fail(": cannot be read " + Reason(errno));
    if (isatty(STDIN_FILENO)) return fail(" is a terminal: pipe an image into it");
    if (const char* kind = SpecialKind(st.st_mode)) {
      if (!S_ISSOCK(st.st_mode)) return fail(std::string(" is ") + kind + ", not an image file");
    }
    // Our own descriptor, so that closing the image leaves standard input be.
    fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(": cannot be read " + Reason(errno));
  } else {
    if (stat(path, &st) != 0) {
      return fail(errno == ENOENT ? std::string(": no such file") : ": cannot be opened " + Reason(errno));
    }
    if (const char* kind = SpecialKind(st.st_mode)) {
      return fail(std::string(": is ") + kind + ", not an image file");
    }
    // Without O_NONBLOCK, opening a named pipe waits for a writer.
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      return fail(errno == ENOENT ? std::string(": no such file") : ": cannot be opened " + Reason(errno));
    }
    // It may have been replaced since.
    if (fstat(fd, &st) != 0 || SpecialKind(st.st_mode) != nullptr) {
      close(fd);
      return fail(": cannot be opened: it changed while it was being opened");
    }
  }
  if (S_ISREG(st.st_mode)) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *file = fdopen(fd, "rb");
    if (*file == nullptr) {
      int code = errno;
      close(fd);
      return fail(": cannot be opened " + Reason(code));
    }
    return true;
  }
  // Pipes and sockets. A named pipe keeps O_NONBLOCK on its own open file:
  // a read then ends at once when there is no writer instead of waiting
  // for one. Standard input's open file is shared with other processes and
  // is left as it is; poll() says when it has data.
  return Spool(fd, !standardInput && S_ISFIFO(st.st_mode), *name, rules, file, error);
}

bool PeekInputFile(const char* path, uint8_t* head, size_t size, size_t* got, bool* regular,
                   std::string* error) {
  *got = 0;
  *regular = false;
  if (std::strcmp(path, "-") == 0) return true;
  auto fail = [&](const std::string& message) {
    *error = path + message;
    return false;
  };
  struct stat st;
  if (stat(path, &st) != 0) {
    return fail(errno == ENOENT ? std::string(": no such file") : ": cannot be opened " + Reason(errno));
  }
  if (const char* kind = SpecialKind(st.st_mode)) return fail(std::string(": is ") + kind + ", not an image file");
  if (!S_ISREG(st.st_mode)) return true;
  // Not waiting for a writer, should it have become a pipe since.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return fail(": cannot be opened " + Reason(errno));
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return true;
  }
  *regular = true;
  while (*got < size) {
    ssize_t n = read(fd, head + *got, size - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      close(fd);
      return fail(": cannot be read " + Reason(code));
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  close(fd);
  return true;
}
