// The POSIX stand-in's window system: windows are records in memory, named
// by handles that are never dereferenced, so a handle that was never made or
// has been destroyed is simply not found (and the calls of DialogWindow.h
// then do what Windows does for an invalid window: nothing, or zeros).
// Whoever plays the dialog manager (the tests) makes the windows, and reads
// back what the dialog procedure did to them.
#pragma once

#include <map>
#include <string>

#include "platform/DialogWindow.h"

struct ModelWindow {
  PlatformWindow parent = nullptr;          // null: none (GetParent gives null)
  bool systemMenu = false;                  // WS_SYSMENU in the style
  PlatformRect windowArea{0, 0, 0, 0};      // screen coordinates
  PlatformRect clientArea{0, 0, 0, 0};      // screen coordinates
  std::map<int, std::string> items;         // dialog items by id: their texts
  bool ended = false;                       // EndDialog was called
  intptr_t endResult = 0;
};

struct ModelScreen {
  int32_t width = 1024;
  int32_t height = 768;
  int32_t captionButtonWidth = 18;          // SM_CXSIZE
};

// A new window, a copy of `window`; returns its handle.
PlatformWindow ModelCreateWindow(const ModelWindow& window);

// The window's record, or null when there is no such window (the desktop
// window included: it has no record of its own).
ModelWindow* ModelFindWindow(PlatformWindow handle);

void ModelDestroyWindow(PlatformWindow handle);

// The screen that the desktop window covers, and the caption button width.
void ModelSetScreen(const ModelScreen& screen);
ModelScreen ModelGetScreen();
