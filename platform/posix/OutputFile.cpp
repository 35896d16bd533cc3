#include "platform/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// The folder of `path` as the system names it: "." for a bare name. False
// when it does not fit `folder`.
bool FolderOf(const char* path, char* folder, size_t size) {
  const char* slash = std::strrchr(path, '/');
  const char* text = ".";
  size_t length = 1;
  if (slash != nullptr) {
    text = path;
    length = slash == path ? 1 : static_cast<size_t>(slash - path);
  }
  if (length >= size) return false;
  std::memcpy(folder, text, length);
  folder[length] = '\0';
  return true;
}

bool IsWritableFolder(const char* folder) {
  struct stat st {};
  if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return ::faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) == 0;
}

// Names only need to differ from whatever else is in the folder; exclusive
// creation settles any clash.
uint64_t NextRandom() {
  static uint64_t state = 0;
  if (state == 0) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    state = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
            (static_cast<uint64_t>(getpid()) << 40) ^ 0x9E3779B97F4A7C15ull;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void RemoveQuietly(const char* path) {
  if (path != nullptr && path[0] != '\0') ::unlink(path);
}

void CloseQuietly(PlatformFile file) {
  if (file != 0) ::close(file);
}

}  // namespace

bool PlatformTargetReplaceable(const char* path) {
  char folder[PATH_MAX];
  if (!FolderOf(path, folder, sizeof folder) || !IsWritableFolder(folder)) return false;
  struct stat st {};
  if (::lstat(path, &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return false;
  // A file the user made read-only is not silently replaced.
  if (S_ISREG(st.st_mode) && ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) return false;
  return true;
}

PlatformFile PlatformCreateTempFile(const char* folder, char* tempPath, size_t tempPathSize) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[16];
    uint64_t r = NextRandom();
    for (int i = 0; i < 6; ++i) {
      name[i] = kDigits[r % 36];
      r /= 36;
    }
    name[6] = '\0';
    int n = std::snprintf(tempPath, tempPathSize, "%s.~gw%s.tmp", folder, name);
    if (n < 0 || static_cast<size_t>(n) >= tempPathSize) break;

    int fd = ::open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      break;
    }
    // Descriptor 0 would read as "no file", and 1 and 2 are for messages.
    if (fd < 3) {
      int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      ::close(fd);
      if (high < 0) {
        ::unlink(tempPath);
        break;
      }
      fd = high;
    }
    return fd;
  }
  if (tempPathSize > 0) tempPath[0] = '\0';
  return 0;
}

PlatformCommitOutcome PlatformCommitFile(PlatformFile file, const char* tempPath,
                                         const char* path) {
  // The content must be on the disk before the name points to it, or a crash
  // could leave an empty file where the earlier one was.
  bool flushed = ::fsync(file) == 0;
  bool closed = ::close(file) == 0;
  if (!flushed || !closed) {
    RemoveQuietly(tempPath);
    return kCommitWriteFailed;
  }
  if (::rename(tempPath, path) != 0) {
    RemoveQuietly(tempPath);
    return kCommitReplaceFailed;
  }
  // The new name itself must survive a crash too.
  char folder[PATH_MAX];
  int folderFd = FolderOf(path, folder, sizeof folder)
                     ? ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                     : -1;
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return kCommitDone;
}

void PlatformDiscardFile(PlatformFile file, const char* tempPath) {
  CloseQuietly(file);
  RemoveQuietly(tempPath);
}
