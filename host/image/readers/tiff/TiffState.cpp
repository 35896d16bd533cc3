#include "host/image/readers/tiff/TiffState.h"

#include <cstdio>
#include <cstring>
#include <string>

// Keeps libtiff's first message, without the function name and the file
// name it puts in front, which tell users nothing.
int OnTiffError(TIFF*, void* user, const char*, const char* format, va_list args) {
  TiffState* s = static_cast<TiffState*>(user);
  if (s->message[0] != '\0') return 1;
  std::vsnprintf(s->message, sizeof s->message, format, args);
  const std::string name = s->source->name + ": ";
  if (std::strncmp(s->message, name.c_str(), name.size()) == 0) {
    std::memmove(s->message, s->message + name.size(), std::strlen(s->message + name.size()) + 1);
  }
  return 1;
}

// libjpeg calls damaged data a warning and goes on with grey; inside a
// TIFF as in a JPEG file, that is damage, and reading stops there.
int OnTiffWarning(TIFF* tif, void* user, const char* module, const char* format, va_list args) {
  if (module == nullptr || std::strcmp(module, "JPEGLib") != 0) return 1;
  char text[512];
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  const bool damage = (std::strncmp(text, "Corrupt JPEG data", 17) == 0 &&
                       std::strstr(text, "extraneous bytes") == nullptr) ||
                      std::strncmp(text, "Premature end of JPEG", 21) == 0 ||
                      std::strncmp(text, "Invalid SOS parameters", 22) == 0 ||
                      std::strncmp(text, "Inconsistent progression", 24) == 0;
  return damage ? OnTiffError(tif, user, module, format, args) : 1;
}

bool Failure(TiffState* s, const char* fallback, std::string* error) {
  const char* m = s->message[0] != '\0' ? s->message : fallback;
  if (std::strstr(m, "Read error") != nullptr || std::strstr(m, "Seek error") != nullptr ||
      std::strstr(m, "end of file") != nullptr || std::strstr(m, "past end") != nullptr ||
      std::strstr(m, "Can not read TIFF directory") != nullptr) {
    SetImageError(error, *s->source, TruncatedMessage("TIFF") + " (" + m + ")");
  } else {
    SetImageError(error, *s->source, std::string("corrupt TIFF data: ") + m);
  }
  return false;
}

bool Unsupported(TiffState* s, const std::string& what, std::string* error) {
  SetImageError(error, *s->source, "unsupported TIFF file: " + what);
  return false;
}
