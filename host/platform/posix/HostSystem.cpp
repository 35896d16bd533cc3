#include "host/platform/HostSystem.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/ElfSection.h"
#include "platform/posix/EmbeddedResources.h"
#include "platform/posix/ResFile.h"

struct LoadedModule {
  void* handle;
  std::string path;
};

LoadedModule* LoadPluginModule(const std::string& path, std::string* error) {
  // dlopen searches the library path for a bare name; a host loads the file
  // it was given.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load " + path;
    return nullptr;
  }
  return new LoadedModule{handle, file};
}

void UnloadPluginModule(LoadedModule* module) {
  if (module == nullptr) return;
  dlclose(module->handle);
  delete module;
}

void* FindModuleFunction(LoadedModule* module, const std::string& name) {
  return dlsym(module->handle, name.c_str());
}

bool ReadModulePropertyList(LoadedModule* module, std::string* bytes, std::string* error) {
  std::string resources;
  if (!ReadElfSection(module->path, GW_RESOURCE_SECTION, &resources, error)) return false;
  ResData found{};
  if (!ResFind(reinterpret_cast<const uint8_t*>(resources.data()), resources.size(), ResName("PIPL"),
               ResNumber(16000), kResAnyLanguage, &found)) {
    *error = module->path + " has no property list";
    return false;
  }
  bytes->assign(reinterpret_cast<const char*>(found.bytes), found.size);
  return true;
}

std::string DefaultModulePath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "Glyphweave.so";
  // /proc/self/exe is the program itself, symbolic links resolved, so a
  // link to an installed program still finds the installed module.
  std::string exe(self, static_cast<size_t>(n));
  std::string folder = exe.substr(0, exe.rfind('/') + 1);
  // The build tree keeps the module beside the program; an installed
  // program (bin/glyphweave) has it in lib/glyphweave/ of the same prefix.
  std::string beside = folder + "Glyphweave.so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  // The path is resolved, so its parent folder is the text before the last
  // separator; messages then name /usr/lib/... rather than /usr/bin/../lib/...
  size_t parentEnd = folder.size() > 1 ? folder.rfind('/', folder.size() - 2) : std::string::npos;
  std::string prefix = parentEnd != std::string::npos ? folder.substr(0, parentEnd + 1) : folder + "../";
  return prefix + "lib/glyphweave/Glyphweave.so";
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

int TerminalColumns(FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

int CharacterColumns(uint32_t codePoint) {
  if (codePoint >= 0x20 && codePoint < 0x7F) return 1;
  // The program itself runs in the C locale; the user's is asked for
  // this alone, on whichever thread asks.
  static const locale_t user = [] {
    locale_t own = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (own != static_cast<locale_t>(nullptr) && std::strcmp(nl_langinfo_l(CODESET, own), "UTF-8") != 0) {
      freelocale(own);
      own = static_cast<locale_t>(nullptr);
    }
    return own;
  }();
  if (user == static_cast<locale_t>(nullptr)) return -1;
  const locale_t was = uselocale(user);
  const int columns = wcwidth(static_cast<wchar_t>(codePoint));
  uselocale(was);
  return columns;
}

char NativeSeparator() { return '/'; }

bool IsFolder(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TerminalSize(FILE* stream, int* columns, int* lines) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return false;
  *columns = size.ws_col;
  *lines = size.ws_row;
  return true;
}

const char* PlatformHelpNote() { return ""; }

bool HaveTerminalToAsk() {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool foreground = ::tcgetpgrp(fd) == ::getpgrp();
  ::close(fd);
  return foreground;
}

int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

PathKind DescribePathKind(const std::string& path) {
  struct stat link{};
  if (::lstat(path.c_str(), &link) != 0) return errno == ELOOP ? PathKind::kLinkLoop : PathKind::kMissing;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ELOOP) return PathKind::kLinkLoop;
    return S_ISLNK(link.st_mode) ? PathKind::kDanglingLink : PathKind::kOther;
  }
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  if (S_ISFIFO(st.st_mode)) return PathKind::kFifo;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return PathKind::kDevice;
  if (S_ISSOCK(st.st_mode)) return PathKind::kSocket;
  if (!S_ISREG(st.st_mode)) return PathKind::kOther;
  if ((st.st_mode & 0222) == 0 || ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    return PathKind::kReadOnly;
  }
  return PathKind::kFile;
}

bool CanCreateIn(const std::string& folder) {
  return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool DiskIsFull(const std::string& folder) {
  struct statvfs fs{};
  return ::statvfs(folder.c_str(), &fs) == 0 && fs.f_bavail == 0;
}

std::string FileIdentity(const std::string& path) {
  auto identity = [](const struct stat& st) {
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
  };
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) return identity(st);
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (::stat(folder.c_str(), &st) != 0) return std::string();
  return identity(st) + "/" + name;
}

void CatchStopSignals(volatile std::sig_atomic_t* flag) {
  static volatile std::sig_atomic_t* target = nullptr;
  target = flag;
  struct sigaction action{};
  action.sa_handler = [](int signal) { *target = signal; };
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read waiting for the terminal gives up.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void LeaveStopSignalsToMainThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool MakePrivateFolder(std::string* folder, std::string* error) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/glyphweave-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {
    *error = "cannot make a temporary folder in " + pattern.substr(0, pattern.rfind('/')) + ": " +
             std::strerror(errno);
    return false;
  }
  *folder = name.data();
  return true;
}

void RemovePrivateFolder(const std::string& folder) {
  if (folder.empty()) return;
  RemoveFilesIn(folder);
  ::rmdir(folder.c_str());
}

void RemoveFilesIn(const std::string& folder) {
  if (folder.empty()) return;
  DIR* dir = ::opendir(folder.c_str());
  if (dir != nullptr) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
  }
}

int OpenOnlyFileIn(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int fd = -1;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    fd = ::open((folder + "/" + entry->d_name).c_str(), O_RDONLY | O_CLOEXEC);
    break;
  }
  ::closedir(dir);
  return fd;
}

long long ReadAt(int fd, void* buffer, size_t size, long long offset) {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void ReleaseFileSpace(int fd, long long end) {
  const long long page = 1 << 16;
  long long whole = end / page * page;
  if (whole > 0) (void)::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(whole));
}

void CloseFile(int fd) {
  if (fd >= 0) ::close(fd);
}

void PrepareStandardStreams() {
  // Each placeholder is open the other way round from its stream's use:
  // reading standard input or writing standard output or error then fails
  // with EBADF, as on the closed descriptor.
  const int modes[3] = {O_WRONLY, O_RDONLY, O_RDONLY};
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = ::open("/dev/null", modes[fd]);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

namespace {

// How much a write to `fd` can take without waiting for its reader, once
// poll() has said there is room. A file or disk never waits. A pipe holds
// its bytes in pages and has room for at least one when poll() says so;
// what its unread bytes leave free, counting a page for the one partly
// read, takes more at once (with one writer, as here). Anything else (a
// terminal, a socket) takes PIPE_BUF bytes.
size_t RoomWithoutWaiting(int fd, const struct stat& st) {
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return size_t{1} << 20;
  if (!S_ISFIFO(st.st_mode)) return PIPE_BUF;
  const long page = ::sysconf(_SC_PAGESIZE);
  const int capacity = ::fcntl(fd, F_GETPIPE_SZ);
  int unread = 0;
  if (page <= 0 || capacity <= 0 || ::ioctl(fd, FIONREAD, &unread) != 0) return PIPE_BUF;
  const long freePages = capacity / page - ((unread + page - 1) / page + 1);
  return freePages * page > PIPE_BUF ? static_cast<size_t>(freePages * page) : PIPE_BUF;
}

}  // namespace

int OpenTerminalWithoutWaiting(int fd) {
  if (::isatty(fd) == 0) return -1;
  // Opened again for writing, one open only for reading would take text.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return -1;
  // A pseudo-terminal's master side, opened again, would be a new one.
  unsigned int number = 0;
  if (::ioctl(fd, TIOCGPTN, &number) == 0) return -1;
  // The terminal opened again: a description of this program's own, so
  // that O_NONBLOCK does not reach the shell that shares the first.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

WriteResult WriteToDescriptor(int fd, const void* data, size_t size, volatile std::sig_atomic_t* stop,
                              int* error) {
  const char* next = static_cast<const char*>(data);
  // A pipe, terminal or socket can make a write wait for its reader. Each
  // write takes only what fits once poll() says there is room, so the only
  // waiting is in poll(), where a stop signal ends it.
  struct stat st{};
  if (::fstat(fd, &st) != 0) st.st_mode = 0;
  // A terminal takes each write whole, waiting inside write(), where the
  // stop signals are held back, while it has no room (a slow link, Ctrl-S);
  // written through a description that never waits, it waits in ppoll().
  const int own = S_ISCHR(st.st_mode) ? OpenTerminalWithoutWaiting(fd) : -1;
  const int target = own >= 0 ? own : fd;
  // The stop signals are held back except inside ppoll(): one that arrives
  // after `*stop` was looked at still ends the wait that follows.
  sigset_t stops;
  sigset_t previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  WriteResult result = WriteResult::kWritten;
  for (bool first = true; size > 0; first = false) {
    pollfd wait = {target, POLLOUT, 0};
    // A write begun after a stop signal (the report of an export that
    // finished before it) still puts out what the reader has room for at
    // once; beyond that piece, and wherever it would wait, a write gives
    // way to the stop.
    int ready = first ? ::poll(&wait, 1, 0) : 0;
    if (ready <= 0) {
      // ppoll() that finds room at once returns without letting through a
      // signal that came meanwhile: with a reader that keeps up, a stop
      // would wait for the whole write. It is let through here.
      sigset_t pending;
      if (::sigpending(&pending) == 0 &&
          (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
           sigismember(&pending, SIGHUP) == 1)) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
      }
      if (stop != nullptr && *stop != 0) {
        result = WriteResult::kStopped;
        break;
      }
      // A thread that leaves the signals to another still sees the flag.
      const timespec step = {0, 200 * 1000 * 1000};
      ready = ::ppoll(&wait, 1, &step, &previous);
    }
    if (ready <= 0) continue;
    ssize_t n = ::write(target, next, std::min(size, RoomWithoutWaiting(fd, st)));
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      result = *error == EPIPE ? WriteResult::kReaderGone : WriteResult::kFailed;
      break;
    }
    next += n;
    size -= static_cast<size_t>(n);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (own >= 0) ::close(own);
  return result;
}

int DescriptorNamedBy(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const size_t length = std::strlen(prefix);
    if (path.compare(0, length, prefix) != 0) continue;
    std::string number = path.substr(length);
    // As the kernel reads these names: digits, no leading zero.
    if (number.empty() || number.size() > 9 || (number.size() > 1 && number[0] == '0') ||
        number.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    return std::atoi(number.c_str());
  }
  return -1;
}

std::string SystemFolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  // The folder as the system resolves it: its longest part that exists,
  // links followed, and the rest as written.
  std::string rest;
  std::string where;
  for (;;) {
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real != nullptr) {
      where = std::string(real) + rest;
      std::free(real);
      if (where.compare(0, 2, "//") == 0) where.erase(0, 1);  // the root and what follows it
      break;
    }
    size_t cut = folder.rfind('/');
    if (folder == "/") return std::string();
    if (cut == std::string::npos) {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd) == nullptr) return std::string();
      where = std::string(cwd) + "/" + folder + rest;
      break;
    }
    rest = folder.substr(cut) + rest;
    folder = cut == 0 ? "/" : folder.substr(0, cut);
  }
  for (const char* system : {"/dev", "/proc"}) {
    const size_t length = std::strlen(system);
    if (where.compare(0, length, system) == 0 && (where.size() == length || where[length] == '/')) return system;
  }
  return std::string();
}

void ReturnFreedMemoryPromptly() {
#ifdef M_MMAP_THRESHOLD
  // glibc raises its threshold for mapping a block of its own to the size
  // of each mapped block freed (up to 32 MB), and keeps what is freed below
  // it in per-thread arenas: with -j, tens of megabytes a thread stayed
  // resident after the images that used them were closed. A fixed
  // threshold keeps every block of 1 MB or more mapped on its own.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

bool ReadSmallFile(const std::string& path, size_t most, std::string* bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat st{};
  const char* kind = nullptr;
  if (::fstat(fd, &st) != 0) {
    kind = "cannot be examined";
  } else if (S_ISDIR(st.st_mode)) {
    kind = "is a folder";
  } else if (S_ISFIFO(st.st_mode)) {
    kind = "is a named pipe (FIFO), not a file";
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    kind = "is a device, not a file";
  } else if (S_ISSOCK(st.st_mode)) {
    kind = "is a socket, not a file";
  } else if (!S_ISREG(st.st_mode)) {
    kind = "is not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > most) {
    kind = "is too large";
  }
  if (kind != nullptr) {
    ::close(fd);
    *error = kind;
    return false;
  }
  bytes->clear();
  char buffer[1 << 14];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
    // A file that grows while it is read is held to the same bound.
    if (bytes->size() > most) {
      ::close(fd);
      *error = "is too large";
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool InSystemFolder(const std::string& path) {
  std::string current = path;
  for (int links = 0; links <= 40; ++links) {
    size_t slash = current.rfind('/');
    if (!SystemFolderOf(current).empty()) return true;
    struct stat st{};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    char content[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), content, sizeof content);
    if (n <= 0) return false;
    std::string target(content, static_cast<size_t>(n));
    current = target[0] == '/' || slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
  }
  return false;
}
