// The window-system calls behind the export parameter dialog: dialog items,
// ending a modal dialog, and what placing a dialog needs to know about its
// parent, itself and the screen. On Windows these are the user32 calls of the
// same names; the POSIX stand-in keeps windows as records in memory (see
// platform/posix/DialogModel.h), so the dialog procedure runs unchanged
// without a window system.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

// The messages and commands a dialog procedure acts on, with their Windows
// values.
enum : uint32_t {
  kMessageInitDialog = 0x0110,  // WM_INITDIALOG
  kMessageCommand = 0x0111,     // WM_COMMAND
};
enum : int {
  kCommandOk = 1,      // IDOK
  kCommandCancel = 2,  // IDCANCEL
};

// A dialog procedure's parameters, as wide as the system's (UINT, WPARAM,
// LPARAM).
typedef uint32_t DialogMessage;
typedef uintptr_t DialogWParam;
typedef intptr_t DialogLParam;

// A rectangle in pixels; right and bottom lie just outside it.
struct PlatformRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// SetDlgItemTextA: nothing happens for an item the dialog does not have.
void PlatformSetItemText(PlatformWindow dialog, int item, const char* text);

// GetDlgItemTextA: at most `limit` − 1 characters and a NUL; returns the
// number of characters. An item the dialog does not have gives 0 and an
// empty buffer.
int PlatformGetItemText(PlatformWindow dialog, int item, char* buffer, int limit);

// EndDialog: the modal dialog closes once its procedure returns, and the
// call that opened it answers `result`.
void PlatformEndDialog(PlatformWindow dialog, intptr_t result);

// GetParent: the parent, or for a pop-up window its owner; null for none.
PlatformWindow PlatformParentWindow(PlatformWindow window);

// GetDesktopWindow.
PlatformWindow PlatformDesktopWindow();

// The window's client area in screen coordinates (GetClientRect with both
// corners through ClientToScreen); all zero for a window that does not exist.
PlatformRect PlatformClientAreaOnScreen(PlatformWindow window);

// GetWindowRect: the whole window in screen coordinates; all zero for a
// window that does not exist.
PlatformRect PlatformWindowArea(PlatformWindow window);

// Whether the window's style (GWL_STYLE) holds WS_SYSMENU.
bool PlatformHasSystemMenu(PlatformWindow window);

// GetSystemMetrics of SM_CXSIZE, SM_CXSCREEN and SM_CYSCREEN.
int32_t PlatformCaptionButtonWidth();
int32_t PlatformScreenWidth();
int32_t PlatformScreenHeight();

// SetWindowPos with SWP_NOZORDER: position and size, the Z order untouched.
void PlatformMoveWindow(PlatformWindow window, int32_t x, int32_t y, int32_t width, int32_t height);
