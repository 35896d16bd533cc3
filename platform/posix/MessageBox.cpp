#include "platform/MessageBox.h"

#include <cstdio>
#include <string>

#include "platform/posix/Cp1252.h"

// No window system: an information box goes to standard output, anything
// else (an alert) to standard error, and the box is answered with OK.
int PlatformMessageBox(PlatformWindow /*owner*/, const char* text, const char* caption, unsigned flags) {
  FILE* out = (flags & 0xF0u) == kMessageBoxIconInformation ? stdout : stderr;
  std::string body = Utf8FromCp1252(text != nullptr ? text : "");
  if (caption != nullptr && caption[0] != '\0') {
    std::fprintf(out, "%s\n", Utf8FromCp1252(caption).c_str());
  }
  std::fprintf(out, "%s\n", body.c_str());
  std::fflush(out);
  return kMessageBoxAnswerOk;
}
