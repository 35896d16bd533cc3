#include "output/OutputFile.h"

#include <cstring>

#include "hostsupport/Handles.h"
#include "output/OutputPath.h"
#include "output/PathSplit.h"
#include "platform/OutputFile.h"

namespace {

const char* OutputPath(const ExportRecord* stuff) {
  return reinterpret_cast<const char*>(stuff->filename);
}

size_t OutputPathLength(const ExportRecord* stuff) {
  return strnlen(OutputPath(stuff), sizeof stuff->filename);
}

// The handle that finish records: the path and two NULs.
Handle MakeRecordedPathHandle(HandleProcs* procs, const char* path, size_t length) {
  Handle handle = NewHandle(procs, static_cast<int32_t>(length + 2));
  if (handle == nullptr) return nullptr;
  char* data = LockHandle(procs, handle, false);
  if (data == nullptr) {
    DisposeHandle(procs, handle);
    return nullptr;
  }
  std::memcpy(data, path, length);
  data[length] = '\0';
  data[length + 1] = '\0';
  UnlockHandle(procs, handle);
  return handle;
}

}  // namespace

bool CreateOutputFile(PluginGlobals* globals) {
  ExportRecord* stuff = globals->stuff;
  globals->fileRef = 0;
  globals->tempPath[0] = '\0';

  const char* path = OutputPath(stuff);
  size_t length = OutputPathLength(stuff);
  if (length == 0 || length > kOutputPathMax || !PlatformTargetReplaceable(path)) {
    *globals->result = kResultFileOpenError;
    return false;
  }

  PlatformFile file = PlatformCreateTempFile(path, globals->tempPath, sizeof globals->tempPath);
  if (file == 0) {
    globals->tempPath[0] = '\0';
    *globals->result = kResultFileOpenError;
    return false;
  }
  globals->fileRef = file;
  return true;
}

bool CloseOutputFile(PluginGlobals* globals) {
  ExportRecord* stuff = globals->stuff;
  const char* path = OutputPath(stuff);

  if (globals->fileRef != 0 && globals->tempPath[0] != '\0') {
    if (*globals->result == kResultOk) {
      switch (PlatformCommitFile(globals->fileRef, globals->tempPath, path)) {
        case kCommitDone:
          break;
        case kCommitWriteFailed:
          *globals->result = kResultWriteError;
          break;
        case kCommitReplaceFailed:
          *globals->result = kResultFileOpenError;
          break;
      }
    } else {
      PlatformDiscardFile(globals->fileRef, globals->tempPath);
    }
  }
  globals->tempPath[0] = '\0';

  stuff->dirty = 0;

  size_t length = OutputPathLength(stuff);
  if (length > kOutputPathMax) length = kOutputPathMax;
  if (globals->sameTitle) length = SplitPath(path, length).baseStart;
  // The recorded path is a prefix of the output path: cutting it in place
  // leaves it in the field.
  std::memset(stuff->filename + length, 0, sizeof stuff->filename - length);

  globals->pathHandle = MakeRecordedPathHandle(stuff->handleProcs, path, length);
  return true;
}
