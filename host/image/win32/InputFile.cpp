// Input files on Windows: folders are refused, "-" is standard input in
// binary mode, copied into a temporary file when it cannot seek (a pipe).
#include "host/image/InputFile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

bool CopyToTemporary(FILE* in, const std::string& name, const volatile std::sig_atomic_t* cancel,
                     InputHeadCheck check, FILE** file, std::string* error) {
  FILE* out = std::tmpfile();
  if (out == nullptr) {
    *error = name + ": cannot be read: no temporary file for it";
    return false;
  }
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t total = 0;
  bool checked = false;
  for (;;) {
    if (cancel != nullptr && *cancel != 0) {
      std::fclose(out);
      *error = name + ": interrupted";
      return false;
    }
    size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
    if (n == 0) break;
    if (!checked && (n >= 16 || total == 0)) {
      checked = true;
      if (check != nullptr && !check(buffer.data(), n < 16 ? n : 16, name, error)) {
        std::fclose(out);
        return false;
      }
    }
    if (std::fwrite(buffer.data(), 1, n, out) != n) {
      std::fclose(out);
      *error = name + ": cannot be read: the temporary copy failed";
      return false;
    }
    total += n;
  }
  if (total == 0) {
    std::fclose(out);
    *error = name + ": no data";
    return false;
  }
  std::rewind(out);
  *file = out;
  return true;
}

}  // namespace

bool OpenInputFile(const char* path, const volatile std::sig_atomic_t* cancel, InputHeadCheck check,
                   FILE** file, std::string* name, std::string* error) {
  *file = nullptr;
  if (std::strcmp(path, "-") == 0) {
    *name = "standard input";
    if (_isatty(_fileno(stdin))) {
      *error = "standard input is a terminal: pipe an image into it";
      return false;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    if (std::fseek(stdin, 0, SEEK_END) == 0 && std::fseek(stdin, 0, SEEK_SET) == 0) {
      int fd = _dup(_fileno(stdin));
      *file = fd >= 0 ? _fdopen(fd, "rb") : nullptr;
      if (*file != nullptr) return true;
    }
    return CopyToTemporary(stdin, *name, cancel, check, file, error);
  }
  *name = path;
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = *name + ": is a folder, not an image file";
    return false;
  }
  errno = 0;
  *file = std::fopen(path, "rb");
  if (*file == nullptr) {
    int code = errno;
    *error = *name + (code == ENOENT ? std::string(": no such file")
                                     : std::string(": cannot be opened (") + std::strerror(code) + ")");
    return false;
  }
  return true;
}
