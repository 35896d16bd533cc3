#include "host/hosting/OutputWriter.h"

#include <cerrno>
#include <climits>
#include <new>

#include "host/cli/Messages.h"
#include "host/platform/HostSystem.h"
#include "platform/FileWrite.h"
#include "platform/OutputFile.h"
#include "plugin/HostInterface.h"

struct OutputWriter {
  std::string path;
  PlatformFile file = 0;
  char tempPath[kTempPathSize] = {};
};

namespace {

// "PATH: reason", the reason as the plug-in's failures are explained.
std::string Failed(const std::string& path, int16_t result, int error) {
  std::string reason = ExplainOutputFailure(path, result, error);
  return Printable(path) + ": " + (reason.empty() ? DescribeResult(result) : reason);
}

}  // namespace

bool CheckOutputTarget(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "no file is named";
    return false;
  }
  errno = 0;
  if (!PlatformTargetReplaceable(path.c_str())) {
    *error = Failed(path, kResultFileOpenError, errno);
    return false;
  }
  // A regular file there (/dev/stdout led to one) belongs to someone else,
  // and a new one would be made where no user looks for it.
  if (InSystemFolder(path)) {
    *error = Printable(path) + ": is in /dev or /proc, where glyphweave makes no files";
    return false;
  }
  return true;
}

bool OpenOutputWriter(const std::string& path, OutputWriter** writer, std::string* error) {
  *writer = nullptr;
  if (!CheckOutputTarget(path, error)) return false;
  OutputWriter* made = new (std::nothrow) OutputWriter;
  if (made == nullptr) {
    *error = Printable(path) + ": out of memory";
    return false;
  }
  made->path = path;
  errno = 0;
  made->file = PlatformCreateTempFile(path.c_str(), made->tempPath, sizeof made->tempPath);
  if (made->file == 0) {
    *error = Failed(path, kResultFileOpenError, errno);
    delete made;
    return false;
  }
  *writer = made;
  return true;
}

bool WriteOutput(OutputWriter* writer, const void* data, size_t size, std::string* error) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    int32_t count = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    int32_t written = 0;
    errno = 0;
    bool ok = PlatformWriteFile(writer->file, bytes, count, &written);
    if (!ok || written != count) {
      // A write that falls short without a failure found the disk full.
      *error = Failed(writer->path, kResultWriteError, ok ? ENOSPC : errno);
      return false;
    }
    bytes += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

bool CommitOutput(OutputWriter* writer, std::string* error) {
  errno = 0;
  PlatformCommitOutcome outcome = PlatformCommitFile(writer->file, writer->tempPath, writer->path.c_str());
  int reason = errno;
  bool done = outcome == kCommitDone;
  if (!done) {
    *error = Failed(writer->path, outcome == kCommitWriteFailed ? kResultWriteError : kResultFileOpenError, reason);
  }
  delete writer;
  return done;
}

void AbandonOutput(OutputWriter* writer) {
  if (writer == nullptr) return;
  PlatformDiscardFile(writer->file, writer->tempPath);
  delete writer;
}
