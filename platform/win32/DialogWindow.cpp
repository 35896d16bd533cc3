#include "platform/DialogWindow.h"

#include <windows.h>

namespace {

HWND Window(PlatformWindow window) { return static_cast<HWND>(window); }

PlatformRect FromRect(const RECT& r) {
  return PlatformRect{static_cast<int32_t>(r.left), static_cast<int32_t>(r.top),
                      static_cast<int32_t>(r.right), static_cast<int32_t>(r.bottom)};
}

}  // namespace

void PlatformSetItemText(PlatformWindow dialog, int item, const char* text) {
  SetDlgItemTextA(Window(dialog), item, text);
}

int PlatformGetItemText(PlatformWindow dialog, int item, char* buffer, int limit) {
  if (limit <= 0) return 0;
  buffer[0] = '\0';
  return static_cast<int>(GetDlgItemTextA(Window(dialog), item, buffer, limit));
}

void PlatformEndDialog(PlatformWindow dialog, intptr_t result) {
  EndDialog(Window(dialog), static_cast<INT_PTR>(result));
}

PlatformWindow PlatformParentWindow(PlatformWindow window) { return GetParent(Window(window)); }

PlatformWindow PlatformDesktopWindow() { return GetDesktopWindow(); }

PlatformRect PlatformClientAreaOnScreen(PlatformWindow window) {
  RECT client{0, 0, 0, 0};
  if (!GetClientRect(Window(window), &client)) return PlatformRect{0, 0, 0, 0};
  POINT topLeft{client.left, client.top};
  POINT bottomRight{client.right, client.bottom};
  ClientToScreen(Window(window), &topLeft);
  ClientToScreen(Window(window), &bottomRight);
  return PlatformRect{static_cast<int32_t>(topLeft.x), static_cast<int32_t>(topLeft.y),
                      static_cast<int32_t>(bottomRight.x), static_cast<int32_t>(bottomRight.y)};
}

PlatformRect PlatformWindowArea(PlatformWindow window) {
  RECT r{0, 0, 0, 0};
  if (!GetWindowRect(Window(window), &r)) return PlatformRect{0, 0, 0, 0};
  return FromRect(r);
}

bool PlatformHasSystemMenu(PlatformWindow window) {
  return (static_cast<DWORD>(GetWindowLongA(Window(window), GWL_STYLE)) & WS_SYSMENU) != 0;
}

int32_t PlatformCaptionButtonWidth() { return GetSystemMetrics(SM_CXSIZE); }
int32_t PlatformScreenWidth() { return GetSystemMetrics(SM_CXSCREEN); }
int32_t PlatformScreenHeight() { return GetSystemMetrics(SM_CYSCREEN); }

void PlatformMoveWindow(PlatformWindow window, int32_t x, int32_t y, int32_t width, int32_t height) {
  SetWindowPos(Window(window), nullptr, x, y, width, height, SWP_NOZORDER);
}
