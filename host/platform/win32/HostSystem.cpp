#include "host/platform/HostSystem.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <csignal>

struct LoadedModule {
  HMODULE handle;
  std::string path;
};

LoadedModule* LoadPluginModule(const std::string& path, std::string* error) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return new LoadedModule{handle, path};
}

void UnloadPluginModule(LoadedModule* module) {
  if (module == nullptr) return;
  FreeLibrary(module->handle);
  delete module;
}

void* FindModuleFunction(LoadedModule* module, const std::string& name) {
  FARPROC proc = GetProcAddress(module->handle, name.c_str());
  return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(proc));
}

bool ReadModulePropertyList(LoadedModule* module, std::string* bytes, std::string* error) {
  HRSRC found = FindResourceA(module->handle, MAKEINTRESOURCEA(16000), "PIPL");
  HGLOBAL loaded = found != nullptr ? LoadResource(module->handle, found) : nullptr;
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) {
    *error = module->path + " has no property list";
    return false;
  }
  bytes->assign(static_cast<const char*>(data), SizeofResource(module->handle, found));
  return true;
}

std::string DefaultModulePath() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "Glyphweave.8be";
  std::string exe(self, n);
  return exe.substr(0, exe.find_last_of("\\/") + 1) + "Glyphweave.8be";
}

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

int TerminalColumns(FILE* /*stream*/) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
  return 80;
}

// Names here are in the system's code page, and the console's widths are
// not told: what is not ASCII is shown escaped.
int CharacterColumns(uint32_t codePoint) { return codePoint >= 0x20 && codePoint < 0x7F ? 1 : -1; }

char NativeSeparator() { return '\\'; }

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool TerminalSize(FILE* stream, int* columns, int* lines) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(handle, &info)) return false;
  *columns = info.srWindow.Right - info.srWindow.Left + 1;
  *lines = info.srWindow.Bottom - info.srWindow.Top + 1;
  return *columns > 0 && *lines > 0;
}

const char* PlatformHelpNote() {
  return "This Windows build has no terminal view and does not resize images: --width,\n"
         "--height and --fit are refused (the Linux program does both). JPEG, PNG, GIF\n"
         "and TIFF are read by the Windows Imaging Component, the system's own decoders.\n";
}

// The Windows dialog is a window of its own: it needs no terminal.
bool HaveTerminalToAsk() { return true; }

int UsableProcessors() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

PathKind DescribePathKind(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kFolder;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return PathKind::kReadOnly;
  return PathKind::kFile;
}

bool CanCreateIn(const std::string& /*folder*/) { return true; }

bool DiskIsFull(const std::string& folder) {
  ULARGE_INTEGER available;
  return GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr) && available.QuadPart == 0;
}

std::string FileIdentity(const std::string& path) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string text(full, n);
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return text;
}

namespace {
volatile std::sig_atomic_t* gStopFlag = nullptr;
void OnStop(int signal) {
  *gStopFlag = signal;
  std::signal(signal, OnStop);
}
}  // namespace

void CatchStopSignals(volatile std::sig_atomic_t* flag) {
  gStopFlag = flag;
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
}

void LeaveStopSignalsToMainThread() {}

bool MakePrivateFolder(std::string* folder, std::string* error) {
  char base[MAX_PATH];
  DWORD n = GetTempPathA(MAX_PATH, base);
  if (n == 0 || n >= MAX_PATH) {
    *error = "no temporary folder";
    return false;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string name = std::string(base) + "glyphweave-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount() + attempt);
    if (CreateDirectoryA(name.c_str(), nullptr)) {
      *folder = name;
      return true;
    }
  }
  *error = std::string("cannot make a temporary folder in ") + base;
  return false;
}

void RemovePrivateFolder(const std::string& folder) {
  if (folder.empty()) return;
  RemoveFilesIn(folder);
  RemoveDirectoryA(folder.c_str());
}

void RemoveFilesIn(const std::string& folder) {
  if (folder.empty()) return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name != "." && name != "..") DeleteFileA((folder + "\\" + name).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
}

int OpenOnlyFileIn(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  int fd = -1;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    fd = _open((folder + "\\" + name).c_str(), _O_RDONLY | _O_BINARY);
    break;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return fd;
}

long long ReadAt(int fd, void* buffer, size_t size, long long offset) {
  if (_lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  return _read(fd, buffer, static_cast<unsigned>(size));
}

void ReleaseFileSpace(int /*fd*/, long long /*end*/) {}

void CloseFile(int fd) {
  if (fd >= 0) _close(fd);
}

void PrepareStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

// The Windows heap gives large blocks their own pages already.
void ReturnFreedMemoryPromptly() {}

WriteResult WriteToDescriptor(int fd, const void* data, size_t size, volatile std::sig_atomic_t* stop,
                              int* error) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    if (stop != nullptr && *stop != 0) return WriteResult::kStopped;
    unsigned piece = size > (1u << 16) ? 1u << 16 : static_cast<unsigned>(size);
    int n = _write(fd, next, piece);
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      return *error == EPIPE ? WriteResult::kReaderGone : WriteResult::kFailed;
    }
    next += n;
    size -= static_cast<size_t>(n);
  }
  return WriteResult::kWritten;
}

// Windows names no descriptors by path, and has no folders of devices.
int DescriptorNamedBy(const std::string& /*path*/) { return -1; }
std::string SystemFolderOf(const std::string& /*path*/) { return std::string(); }

bool ReadSmallFile(const std::string& path, size_t most, std::string* bytes, std::string* error) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = "is a folder";
    return false;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    *error = "is not a regular file";
    return false;
  }
  bytes->clear();
  char buffer[1 << 14];
  DWORD n = 0;
  bool ok = true;
  while (ok && ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    bytes->append(buffer, n);
    ok = bytes->size() <= most;
  }
  CloseHandle(file);
  if (!ok) *error = "is too large";
  return ok;
}

// Windows has no such folders among its paths.
bool InSystemFolder(const std::string& /*path*/) { return false; }
