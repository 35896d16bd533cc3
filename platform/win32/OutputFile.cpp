#include "platform/OutputFile.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/WriteGather.h"

namespace {

// The folder of `path`, for asking about it: "." for a bare name, "X:" kept
// as the drive's current folder, a root kept with its separator.
std::string FolderOf(const char* path) {
  size_t length = std::strlen(path);
  size_t start = length >= 2 && path[1] == ':' ? 2 : 0;
  size_t cut = std::string::npos;
  for (size_t i = start; i < length; ++i) {
    if (path[i] == '\\' || path[i] == '/') cut = i;
  }
  if (cut == std::string::npos) return start == 2 ? std::string(path, 2) : std::string(".");
  if (cut == start) return std::string(path, cut + 1);
  return std::string(path, cut);
}

bool IsFolder(const std::string& folder) {
  DWORD attributes = GetFileAttributesA(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Names only need to differ from whatever else is in the folder; exclusive
// creation settles any clash. Threads draw from one sequence, each number
// once, mixed with the clock.
uint32_t NextRandom() {
  static std::atomic<uint32_t> sequence{0};
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint32_t x = sequence.fetch_add(0x9E3779B9u) ^ static_cast<uint32_t>(counter.QuadPart) ^
               (GetCurrentProcessId() << 16) ^ (GetCurrentThreadId() << 4);
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// The length of `path` up to its last separator, or its drive ("X:").
size_t FolderPrefixLength(const char* path) {
  size_t length = std::strlen(path);
  size_t prefix = length >= 2 && path[1] == ':' ? 2 : 0;
  for (size_t i = prefix; i < length; ++i) {
    if (path[i] == '\\' || path[i] == '/') prefix = i + 1;
  }
  return prefix;
}

HANDLE AsHandle(PlatformFile file) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)); }

// Cleaning up after a failure must not cost the caller the reason for it.
void RemoveQuietly(const char* path) {
  DWORD error = GetLastError();
  if (path != nullptr && path[0] != '\0') DeleteFileA(path);
  SetLastError(error);
}

void CloseQuietly(PlatformFile file) {
  DWORD error = GetLastError();
  GatherDetach(file, false);
  if (file != 0) _lclose(static_cast<HFILE>(file));
  SetLastError(error);
}

bool TargetExists(const char* path) {
  DWORD error = GetLastError();
  bool exists = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ||
                (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND);
  SetLastError(error);
  return exists;
}

// A new file is put in place without a flush, since nothing can be lost
// there; the move does not replace, so a file that arrived meanwhile is
// still replaced only by a flushed one. False when it must take that path.
bool PlaceNewFile(const char* tempPath, const char* path, bool* failed) {
  *failed = false;
  if (MoveFileExA(tempPath, path, MOVEFILE_WRITE_THROUGH)) return true;
  DWORD error = GetLastError();
  *failed = error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS;
  return false;
}

// A flush of the closed temporary file, through a handle of its own.
bool FlushByName(const char* tempPath) {
  HANDLE again = CreateFileA(tempPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (again == INVALID_HANDLE_VALUE) return false;
  bool flushed = FlushFileBuffers(again) != 0;
  DWORD error = GetLastError();
  CloseHandle(again);
  SetLastError(error);
  return flushed;
}

}  // namespace

bool PlatformTargetReplaceable(const char* path) {
  if (!IsFolder(FolderOf(path))) return false;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
  // A file that any program holds open cannot be replaced, even when that
  // program shares it fully: ask for it unshared.
  HANDLE probe =
      CreateFileA(path, DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  CloseHandle(probe);
  return true;
}

PlatformFile PlatformCreateTempFile(const char* path, char* tempPath, size_t tempPathSize) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  size_t prefix = FolderPrefixLength(path);
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[8];
    uint32_t r = NextRandom();
    for (int i = 0; i < 6; ++i) {
      name[i] = kDigits[r % 36];
      r /= 36;
    }
    name[6] = '\0';
    int n = std::snprintf(tempPath, tempPathSize, "%.*s~gw%s.tmp", static_cast<int>(prefix), path, name);
    if (n < 0 || static_cast<size_t>(n) >= tempPathSize) break;

    // No sharing: nothing else opens the file while the export writes it.
    HANDLE file = CreateFileA(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      break;
    }
    // On 32-bit Windows a file handle is the HFILE that _lwrite and _lclose
    // take.
    PlatformFile handle = static_cast<PlatformFile>(reinterpret_cast<intptr_t>(file));
    GatherAttach(handle, false);
    return handle;
  }
  if (tempPathSize > 0) tempPath[0] = '\0';
  return 0;
}

PlatformCommitOutcome PlatformCommitFile(PlatformFile file, const char* tempPath,
                                         const char* path) {
  if (!GatherDetach(file, true)) {
    CloseQuietly(file);
    RemoveQuietly(tempPath);
    return kCommitWriteFailed;
  }
  // A file that replaces another is flushed first, so that a crash leaves
  // the earlier file or the new one, each complete.
  bool replaces = TargetExists(path);
  bool flushed = !replaces || FlushFileBuffers(AsHandle(file)) != 0;
  if (!flushed) {
    CloseQuietly(file);
    RemoveQuietly(tempPath);
    return kCommitWriteFailed;
  }
  if (_lclose(static_cast<HFILE>(file)) == HFILE_ERROR) {
    RemoveQuietly(tempPath);
    return kCommitWriteFailed;
  }
  if (!replaces) {
    bool failed = false;
    if (PlaceNewFile(tempPath, path, &failed)) return kCommitDone;
    if (failed) {
      RemoveQuietly(tempPath);
      return kCommitReplaceFailed;
    }
    if (!FlushByName(tempPath)) {
      RemoveQuietly(tempPath);
      return kCommitWriteFailed;
    }
  }
  if (!MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RemoveQuietly(tempPath);
    return kCommitReplaceFailed;
  }
  return kCommitDone;
}

void PlatformDiscardFile(PlatformFile file, const char* tempPath) {
  CloseQuietly(file);
  RemoveQuietly(tempPath);
}
