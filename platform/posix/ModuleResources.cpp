#include "platform/ModuleResources.h"

#include "platform/posix/Cp1252.h"
#include "platform/posix/EmbeddedResources.h"
#include "platform/posix/ResFile.h"

int PlatformLoadString(PlatformInstance /*instance*/, unsigned id, char* buffer, int bufferSize) {
  if (buffer == nullptr || bufferSize <= 0) return 0;
  buffer[0] = '\0';
  const uint8_t* utf16 = nullptr;
  uint32_t units = 0;
  EmbeddedResources res = GetEmbeddedResources();
  if (!ResFindString(res.bytes, res.size, id, &utf16, &units)) return 0;
  // As LoadStringA: at most bufferSize − 1 characters, always terminated.
  int n = 0;
  for (uint32_t i = 0; i < units && n < bufferSize - 1; ++i) {
    uint16_t unit = static_cast<uint16_t>(utf16[2 * i] | utf16[2 * i + 1] << 8);
    buffer[n++] = static_cast<char>(Cp1252FromUtf16(unit));
  }
  buffer[n] = '\0';
  return n;
}
