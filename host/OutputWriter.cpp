// A stand-in for the host's output writer while it is being built on its
// own branch: the same interface, streamed through a temporary file beside
// the target and renamed over it, without the held folder, the lock or the
// earlier file's mode. Replaced by the real writer when that lands.
#include "host/OutputWriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/platform/HostSystem.h"

struct OutputWriter {
  std::string path;
  std::string temporary;
  FILE* file = nullptr;
};

namespace {

std::atomic<unsigned> gCount{0};

std::string Folder(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool CheckOutputTarget(const std::string& path, std::string* error) {
  if (path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0) {
    *error = path + ": not a file glyphweave writes";
    return false;
  }
  switch (DescribePathKind(path)) {
    case PathKind::kMissing:
    case PathKind::kFile: return true;
    case PathKind::kFolder: *error = path + ": is a folder"; return false;
    case PathKind::kReadOnly: *error = path + ": the file is read-only"; return false;
    default: *error = path + ": not a regular file"; return false;
  }
}

bool OpenOutputWriter(const std::string& path, OutputWriter** writer, std::string* error) {
  *writer = nullptr;
  if (!CheckOutputTarget(path, error)) return false;
  OutputWriter* w = new OutputWriter;
  w->path = path;
  w->temporary = Folder(path) + ".~gwpage" + std::to_string(gCount++) + ".tmp";
  w->file = std::fopen(w->temporary.c_str(), "wb");
  if (w->file == nullptr) {
    *error = path + ": cannot create the output file: " + std::strerror(errno);
    delete w;
    return false;
  }
  *writer = w;
  return true;
}

bool WriteOutput(OutputWriter* writer, const void* data, size_t size, std::string* error) {
  if (std::fwrite(data, 1, size, writer->file) == size) return true;
  *error = writer->path + ": write error: " + std::strerror(errno);
  return false;
}

bool CommitOutput(OutputWriter* writer, std::string* error) {
  bool ok = std::fclose(writer->file) == 0 && std::rename(writer->temporary.c_str(), writer->path.c_str()) == 0;
  if (!ok) {
    *error = writer->path + ": write error: " + std::strerror(errno);
    std::remove(writer->temporary.c_str());
  }
  delete writer;
  return ok;
}

void AbandonOutput(OutputWriter* writer) {
  std::fclose(writer->file);
  std::remove(writer->temporary.c_str());
  delete writer;
}
