#include "platform/OutputFile.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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
// creation settles any clash.
uint32_t NextRandom() {
  static uint32_t state = 0;
  if (state == 0) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    state = static_cast<uint32_t>(counter.QuadPart) ^ (GetCurrentProcessId() << 16) ^
            GetTickCount() ^ 0x9E3779B9u;
    if (state == 0) state = 1;
  }
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

HANDLE AsHandle(PlatformFile file) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)); }

void RemoveQuietly(const char* path) {
  if (path != nullptr && path[0] != '\0') DeleteFileA(path);
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

PlatformFile PlatformCreateTempFile(const char* folder, char* tempPath, size_t tempPathSize) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[8];
    uint32_t r = NextRandom();
    for (int i = 0; i < 6; ++i) {
      name[i] = kDigits[r % 36];
      r /= 36;
    }
    name[6] = '\0';
    int n = std::snprintf(tempPath, tempPathSize, "%s~gw%s.tmp", folder, name);
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
    return static_cast<PlatformFile>(reinterpret_cast<intptr_t>(file));
  }
  if (tempPathSize > 0) tempPath[0] = '\0';
  return 0;
}

PlatformCommitOutcome PlatformCommitFile(PlatformFile file, const char* tempPath,
                                         const char* path) {
  bool flushed = FlushFileBuffers(AsHandle(file)) != 0;
  bool closed = _lclose(static_cast<HFILE>(file)) != HFILE_ERROR;
  if (!flushed || !closed) {
    RemoveQuietly(tempPath);
    return kCommitWriteFailed;
  }
  if (!MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RemoveQuietly(tempPath);
    return kCommitReplaceFailed;
  }
  return kCommitDone;
}

void PlatformDiscardFile(PlatformFile file, const char* tempPath) {
  if (file != 0) _lclose(static_cast<HFILE>(file));
  RemoveQuietly(tempPath);
}
