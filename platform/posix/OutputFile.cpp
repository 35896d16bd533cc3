#include "platform/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/WriteGather.h"

namespace {

// Cleaning up after a failure must not cost the caller the reason for it.
struct KeepErrno {
  int saved = errno;
  ~KeepErrno() { errno = saved; }
};

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

// The length of `path` up to and including its last slash.
size_t FolderPrefixLength(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

bool IsWritableFolder(const char* folder) {
  struct stat st {};
  if (::stat(folder, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return ::faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) == 0;
}

// The file that writing to `path` would change, the way an editor saves
// through a symbolic link: the link's final target, whose folder receives the
// temporary file and whose name it replaces; the link itself stays. `*st`
// describes that file when `*exists`. False, with the system's reason, for a
// link that leads nowhere (there is no file the user could mean) or in
// circles, and for a path the system cannot look at.
bool ResolveTarget(const char* path, char* target, size_t size, struct stat* st, bool* exists) {
  *exists = false;
  size_t length = std::strlen(path);
  if (length >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(target, path, length + 1);
  for (int links = 0;; ++links) {
    if (::lstat(target, st) != 0) return errno == ENOENT && links == 0;
    if (!S_ISLNK(st->st_mode)) {
      *exists = true;
      return true;
    }
    if (links == 40) {
      errno = ELOOP;
      return false;
    }
    char content[PATH_MAX];
    ssize_t n = ::readlink(target, content, sizeof content - 1);
    if (n < 0) return false;
    content[n] = '\0';
    size_t keep = content[0] == '/' ? 0 : FolderPrefixLength(target);
    if (keep + static_cast<size_t>(n) >= size) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::memcpy(target + keep, content, static_cast<size_t>(n) + 1);
  }
}

// Only regular files are replaced: a folder, a device, a FIFO or a socket
// is never swapped for a file, not even by root. A file the user made
// read-only is not silently replaced either, which for root only its mode
// bits tell.
bool IsReplaceable(int folder, const char* target, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = EPERM;
    return false;
  }
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    errno = EACCES;
    return false;
  }
  return ::faccessat(folder, target, W_OK, AT_EACCESS) == 0;
}

// The replacement gets the permissions of the file it replaces, and its owner
// and group where the system lets us (root; the group for its members), so
// that a private file does not become readable by everyone. False only when
// the new file would be open to more people than the old one.
bool TakeOwnerAndMode(int fd, const struct stat& old) {
  // Owner first: a change of owner clears the set-id bits that the mode then
  // restores.
  // Where the system refuses, the file keeps our owner; the mode below still
  // opens it to no more people than the old one.
  const int owned = ::geteuid() == 0 ? ::fchown(fd, old.st_uid, old.st_gid)
                                     : ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  static_cast<void>(owned);
  if (::fchmod(fd, old.st_mode & 07777) == 0) return true;
  // Some file systems have no modes to set; what matters is that nothing is
  // widened.
  KeepErrno keep;
  struct stat now {};
  return ::fstat(fd, &now) == 0 && (now.st_mode & ~old.st_mode & 0777) == 0;
}

// Names only need to differ from whatever else is in the folder; exclusive
// creation settles any clash. Each thread runs its own sequence.
uint64_t NextRandom() {
  thread_local uint64_t state = 0;
  if (state == 0) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    state = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
            (static_cast<uint64_t>(getpid()) << 40) ^ reinterpret_cast<uintptr_t>(&state) ^
            0x9E3779B97F4A7C15ull;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

const char kNameDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char kNamePrefix[] = ".~gw";
const char kNameSuffix[] = ".tmp";
const size_t kNameDigitCount = 6;

// A temporary file left behind by an export killed before it could remove it
// (SIGKILL, a power cut) is removed by a later export into the same folder
// once it is this old and no live export holds it.
const time_t kStaleAfterSeconds = 10 * 60;

bool IsTemporaryName(const char* name) {
  if (std::strncmp(name, kNamePrefix, 4) != 0) return false;
  for (size_t i = 0; i < kNameDigitCount; ++i) {
    char c = name[4 + i];
    if (c == '\0' || std::strchr(kNameDigits, c) == nullptr) return false;
  }
  return std::strcmp(name + 4 + kNameDigitCount, kNameSuffix) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A batch writes thousands of files into one folder: each folder is looked
// through once per process. Known by its name and its inode, since either
// alone can come back for another folder (a name after a change of the
// current folder, an inode after a folder is removed and another made).
bool FirstVisit(const char* path, const struct stat& folder) {
  static std::mutex lock;
  static std::set<std::tuple<dev_t, ino_t, std::string>> visited;
  std::lock_guard<std::mutex> hold(lock);
  try {
    return visited.emplace(folder.st_dev, folder.st_ino, path).second;
  } catch (...) {
    return false;
  }
}

void RemoveIfStale(int folder, const char* name, time_t now) {
  struct stat seen {};
  if (::fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return;
  if (now - seen.st_mtime < kStaleAfterSeconds) return;
  int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  // A live export holds its file locked from its creation to its end, so
  // the lock is ours only when nobody writes the file; and the name must
  // still lead to the very file that was looked at and locked.
  struct stat held {};
  struct stat again {};
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && SameFile(held, seen) &&
      ::fstatat(folder, name, &again, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(again, held)) {
    ::unlinkat(folder, name, 0);
  }
  ::close(fd);
}

// `folder` is held open; `folderPath` is its name, which tells the folder
// apart from the one visited under that name before.
void RemoveStaleTemporaryFiles(int folder, const char* folderPath) {
  KeepErrno keep;
  struct stat st {};
  if (::fstat(folder, &st) != 0 || !FirstVisit(folderPath, st)) return;
  // The held descriptor only names the folder: listing it takes one that
  // reads it, which a folder without read permission does not give.
  int readable = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable < 0) return;
  DIR* listing = ::fdopendir(readable);
  if (listing == nullptr) {
    ::close(readable);
    return;
  }
  time_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(listing)) {
    if (IsTemporaryName(entry->d_name)) RemoveIfStale(folder, entry->d_name, now);
  }
  ::closedir(listing);
}

// A temporary file is made, renamed and removed in the folder that held its
// target when it was made, through a descriptor of that folder kept from its
// creation to its end: a folder renamed, or swapped for a symbolic link,
// meanwhile cannot send the file elsewhere nor leave it behind.
struct HeldFolder {
  PlatformFile file = 0;
  int folder = -1;
  char name[16] = {};             // the temporary file's
  char target[NAME_MAX + 1] = {};  // the name it takes when committed
};

std::mutex heldLock;
std::vector<HeldFolder> held;

bool Hold(const HeldFolder& entry) {
  std::lock_guard<std::mutex> hold(heldLock);
  try {
    held.push_back(entry);
    return true;
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
}

// Takes the entry of `file` out of the table; false when it has none.
bool Release(PlatformFile file, HeldFolder* entry) {
  std::lock_guard<std::mutex> hold(heldLock);
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i].file != file) continue;
    *entry = held[i];
    held[i] = held.back();
    held.pop_back();
    return true;
  }
  return false;
}

// Gives up a temporary file that will not replace anything: removed while
// still locked, then closed, and its folder let go.
PlatformCommitOutcome Abandon(const HeldFolder& entry, PlatformCommitOutcome outcome) {
  KeepErrno keep;
  GatherDetach(entry.file, false);
  ::unlinkat(entry.folder, entry.name, 0);
  ::close(entry.file);
  ::close(entry.folder);
  return outcome;
}

// A file that was not made by PlatformCreateTempFile: closed, and nothing
// removed, since its folder is not known.
PlatformCommitOutcome CloseUnknown(PlatformFile file) {
  GatherDetach(file, false);
  if (file != 0) ::close(file);
  errno = EBADF;
  return kCommitReplaceFailed;
}

// What stands at the target's name in the held folder now, not followed if
// it is a symbolic link. False, with the system's reason, when that cannot
// be told.
bool LookAtTarget(const HeldFolder& entry, struct stat* st, bool* exists) {
  *exists = ::fstatat(entry.folder, entry.target, st, AT_SYMLINK_NOFOLLOW) == 0;
  return *exists || errno == ENOENT;
}

// Puts a new file where nothing stood. Nothing can be lost there, so the
// content is not synced first. The rename refuses to replace anything, so a
// file that appears at the name meanwhile is still replaced only after a sync.
enum NewFileOutcome { kNewFileDone, kNewFileTaken, kNewFileRenameFailed, kNewFileCloseFailed };

NewFileOutcome PlaceNewFile(const HeldFolder& entry) {
  struct stat mine {};
  if (::fstat(entry.file, &mine) != 0) return kNewFileTaken;
  if (::renameat2(entry.folder, entry.name, entry.folder, entry.target, RENAME_NOREPLACE) != 0) {
    // EEXIST: something arrived; EINVAL: the file system cannot promise
    // not to replace. Either way the careful path follows.
    return errno == EEXIST || errno == EINVAL || errno == ENOSYS || errno == ENOTSUP
               ? kNewFileTaken
               : kNewFileRenameFailed;
  }
  // The lock is held until the file has its name. A network file system may
  // only now report what it could not write: then the name must not stand
  // for an incomplete file.
  bool closed = ::close(entry.file) == 0;
  KeepErrno keep;
  if (!closed) {
    struct stat there {};
    if (::fstatat(entry.folder, entry.target, &there, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(there, mine)) {
      ::unlinkat(entry.folder, entry.target, 0);
    }
  }
  ::close(entry.folder);
  return closed ? kNewFileDone : kNewFileCloseFailed;
}

}  // namespace

bool PlatformTargetReplaceable(const char* path) {
  char target[PATH_MAX];
  struct stat st {};
  bool exists = false;
  if (!ResolveTarget(path, target, sizeof target, &st, &exists)) return false;
  char folder[PATH_MAX];
  if (!FolderOf(target, folder, sizeof folder)) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (!IsWritableFolder(folder)) return false;
  return !exists || IsReplaceable(AT_FDCWD, target, st);
}

PlatformFile PlatformCreateTempFile(const char* path, char* tempPath, size_t tempPathSize) {
  if (tempPathSize > 0) tempPath[0] = '\0';
  char target[PATH_MAX];
  struct stat old {};
  bool exists = false;
  if (!ResolveTarget(path, target, sizeof target, &old, &exists)) return 0;
  if (exists && !IsReplaceable(AT_FDCWD, target, old)) return 0;
  size_t prefix = FolderPrefixLength(target);
  const char* base = target + prefix;
  HeldFolder entry;
  // A path that ends in a slash names a folder, which is never replaced.
  if (base[0] == '\0') {
    errno = EISDIR;
    return 0;
  }
  if (std::strlen(base) >= sizeof entry.target) {
    errno = ENAMETOOLONG;
    return 0;
  }
  std::strcpy(entry.target, base);
  const size_t nameLength = 4 + kNameDigitCount + 4;
  if (prefix + nameLength >= tempPathSize) {
    errno = ENAMETOOLONG;
    return 0;
  }
  std::memcpy(tempPath, target, prefix);
  tempPath[prefix] = '\0';
  const char* folderPath = prefix == 0 ? "." : tempPath;
  entry.folder = ::open(folderPath, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (entry.folder < 0) {
    tempPath[0] = '\0';
    return 0;
  }
  RemoveStaleTemporaryFiles(entry.folder, folderPath);

  for (int attempt = 0; attempt < 64; ++attempt) {
    char* name = entry.name;
    std::memcpy(name, kNamePrefix, 4);
    uint64_t r = NextRandom();
    for (size_t i = 0; i < kNameDigitCount; ++i) {
      name[4 + i] = kNameDigits[r % 36];
      r /= 36;
    }
    std::memcpy(name + 4 + kNameDigitCount, kNameSuffix, sizeof kNameSuffix);

    // A replacement starts private and takes the old file's permissions
    // below; a new file gets the usual ones (the umask applies).
    int fd = ::openat(entry.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      break;
    }
    // Descriptor 0 would read as "no file", and 1 and 2 are for messages.
    if (fd < 3) {
      int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      ::close(fd);
      fd = high;
    }
    entry.file = fd;
    if (fd < 0 || !Hold(entry)) {
      KeepErrno keep;
      ::unlinkat(entry.folder, name, 0);
      if (fd >= 0) ::close(fd);
      break;
    }
    // Tells a later export's clean-up that this file is alive. A file system
    // without locks still gets its export.
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    if (exists) (void)TakeOwnerAndMode(fd, old);
    GatherAttach(fd, exists);
    std::memcpy(tempPath + prefix, name, nameLength + 1);
    return fd;
  }
  KeepErrno keep;
  ::close(entry.folder);
  if (tempPathSize > 0) tempPath[0] = '\0';
  return 0;
}

// The target is the one resolved when the temporary file was made, in the
// folder held since: `path` is not looked up again, so that wherever its
// folders have moved meanwhile the file is committed beside the temporary
// one or not at all.
PlatformCommitOutcome PlatformCommitFile(PlatformFile file, const char* /*tempPath*/, const char* /*path*/) {
  HeldFolder entry;
  if (!Release(file, &entry)) return CloseUnknown(file);
  if (!GatherDetach(file, true)) return Abandon(entry, kCommitWriteFailed);
  struct stat old {};
  bool exists = false;
  if (!LookAtTarget(entry, &old, &exists)) return Abandon(entry, kCommitReplaceFailed);
  if (!exists) {
    switch (PlaceNewFile(entry)) {
      case kNewFileDone:
        return kCommitDone;
      case kNewFileRenameFailed:
        return Abandon(entry, kCommitReplaceFailed);
      case kNewFileCloseFailed:
        return kCommitWriteFailed;
      case kNewFileTaken:
        if (!LookAtTarget(entry, &old, &exists)) return Abandon(entry, kCommitReplaceFailed);
        break;
    }
  }
  // An earlier file is replaced only by a complete one: the content and the
  // permissions are on the disk before the name points to them, so that a
  // crash leaves either the earlier file or the new one, never an empty or
  // half-written file. The name itself needs no sync: until the rename
  // reaches the disk, the earlier file stands there complete. What arrived
  // at the name meanwhile is held to the rules of a target: a symbolic link
  // is not a regular file, and is not replaced either.
  if (exists && (!IsReplaceable(entry.folder, entry.target, old) || !TakeOwnerAndMode(file, old))) {
    return Abandon(entry, kCommitReplaceFailed);
  }
  if (::fsync(file) != 0) return Abandon(entry, kCommitWriteFailed);
  if (::renameat2(entry.folder, entry.name, entry.folder, entry.target, 0) != 0) {
    return Abandon(entry, kCommitReplaceFailed);
  }
  // Everything is on the disk: the close has nothing left to report.
  ::close(file);
  ::close(entry.folder);
  return kCommitDone;
}

void PlatformDiscardFile(PlatformFile file, const char* /*tempPath*/) {
  HeldFolder entry;
  if (Release(file, &entry)) {
    Abandon(entry, kCommitDone);
  } else {
    KeepErrno keep;
    CloseUnknown(file);
  }
}
