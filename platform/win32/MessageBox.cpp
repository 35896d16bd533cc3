#include "platform/MessageBox.h"

#include <windows.h>

int PlatformMessageBox(PlatformWindow owner, const char* text, const char* caption, unsigned flags) {
  return MessageBoxA(static_cast<HWND>(owner), text, caption, flags);
}
