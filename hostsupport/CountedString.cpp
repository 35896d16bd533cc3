#include "hostsupport/CountedString.h"

#include "hostsupport/Handles.h"

namespace {

// The last two steps of every append: a 255th character is dropped, and a
// NUL follows the last character.
void Terminate(CountedString* s) {
  if (s->length >= 255) s->length = kCountedStringMax;
  s->chars[s->length] = '\0';
}

}  // namespace

void ClearString(CountedString* destination) {
  destination->length = 0;
  destination->chars[0] = '\0';
}

void AppendChars(CountedString* destination, const void* source, int16_t start, int16_t count) {
  const auto* bytes = static_cast<const unsigned char*>(source);
  int length = destination->length;
  int n = count;
  if (length + n > 255) n = 255 - length;
  int from = start;
  while (n > 0) {
    ++length;
    destination->chars[length - 1] = static_cast<char>(bytes[from]);
    ++from;
    --n;
  }
  destination->length = static_cast<unsigned char>(length);
  Terminate(destination);
}

void AppendChar(CountedString* destination, char character) {
  if (destination->length < 255) {
    destination->chars[destination->length] = character;
    ++destination->length;
  }
  Terminate(destination);
}

void CopyHandleToString(HandleProcs* procs, Handle handle, CountedString* destination) {
  ClearString(destination);
  if (handle == nullptr) return;
  const char* data = LockHandle(procs, handle, false);
  if (data != nullptr) {
    int32_t size = GetHandleSize(procs, handle);
    // A negative size is a host's error report, not a huge handle: reading
    // 254 bytes on the strength of it could run past the data.
    int32_t n = size < 0 ? 0 : (size > kCountedStringMax ? kCountedStringMax : size);
    AppendChars(destination, data, 0, static_cast<int16_t>(n));
  }
  UnlockHandle(procs, handle);
}
