// Input files on Windows: folders are refused, "-" is standard input in
// binary mode, copied into a temporary file when it cannot seek (a pipe).
#include "host/image/input/InputFile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/image/input/ImageSource.h"

namespace {

bool CopyToTemporary(FILE* in, const std::string& name, const CopyRules& rules, FILE** file,
                     std::string* error) {
  const InputHeadCheck check = rules.check;
  FILE* out = std::tmpfile();
  if (out == nullptr) {
    *error = name + ": cannot be read: no temporary file for it";
    return false;
  }
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t total = 0;
  bool checked = false;
  for (;;) {
    if (rules.cancel != nullptr && *rules.cancel != 0) {
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
    // The temporary file goes when it is closed.
    if (rules.limit != 0 && n > rules.limit - total) {
      std::fclose(out);
      *error = name + ": more than the limit of " + DescribeBytes(rules.limit) +
               " for input through a pipe (--max-input changes it)";
      return false;
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

bool OpenInputFile(const char* path, const CopyRules& rules, FILE** file, std::string* name,
                   std::string* error) {
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
    return CopyToTemporary(stdin, *name, rules, file, error);
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

bool PeekInputFile(const char* path, uint8_t* head, size_t size, size_t* got, bool* regular,
                   std::string* error) {
  *got = 0;
  *regular = false;
  if (std::strcmp(path, "-") == 0) return true;
  struct stat st;
  if (stat(path, &st) != 0) {
    *error = std::string(path) + ": no such file";
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = std::string(path) + ": is a folder, not an image file";
    return false;
  }
  if (!S_ISREG(st.st_mode)) return true;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    *error = std::string(path) + ": cannot be opened (" + std::strerror(errno) + ")";
    return false;
  }
  *regular = true;
  *got = std::fread(head, 1, size, f);
  std::fclose(f);
  return true;
}
