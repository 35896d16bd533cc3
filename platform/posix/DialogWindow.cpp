#include "platform/DialogWindow.h"

#include <cstdint>
#include <cstring>

#include "platform/posix/DialogModel.h"

namespace {

struct Model {
  std::map<uintptr_t, ModelWindow> windows;
  uintptr_t nextHandle = 0x1000;
  ModelScreen screen;
};

Model& TheModel() {
  static Model model;
  return model;
}

// A value no made window gets: handles are multiples of 16 from 0x1000 on.
const uintptr_t kDesktopHandle = 0x10;

PlatformWindow AsHandle(uintptr_t value) { return reinterpret_cast<PlatformWindow>(value); }

uintptr_t HandleValue(PlatformWindow handle) { return reinterpret_cast<uintptr_t>(handle); }

bool IsDesktop(PlatformWindow handle) { return HandleValue(handle) == kDesktopHandle; }

PlatformRect ScreenArea() {
  const ModelScreen& screen = TheModel().screen;
  return PlatformRect{0, 0, screen.width, screen.height};
}

}  // namespace

PlatformWindow ModelCreateWindow(const ModelWindow& window) {
  Model& model = TheModel();
  uintptr_t handle = model.nextHandle;
  model.nextHandle += 16;
  model.windows[handle] = window;
  return AsHandle(handle);
}

ModelWindow* ModelFindWindow(PlatformWindow handle) {
  auto found = TheModel().windows.find(HandleValue(handle));
  return found != TheModel().windows.end() ? &found->second : nullptr;
}

void ModelDestroyWindow(PlatformWindow handle) { TheModel().windows.erase(HandleValue(handle)); }

void ModelSetScreen(const ModelScreen& screen) { TheModel().screen = screen; }

ModelScreen ModelGetScreen() { return TheModel().screen; }

// No call below throws: std::string's assign can fail only for lack of
// memory, and then the item keeps its old text, as a failed SetDlgItemTextA
// would.
void PlatformSetItemText(PlatformWindow dialog, int item, const char* text) {
  ModelWindow* window = ModelFindWindow(dialog);
  if (window == nullptr) return;
  auto found = window->items.find(item);
  if (found == window->items.end()) return;
  try {
    found->second.assign(text != nullptr ? text : "");
  } catch (...) {
  }
}

int PlatformGetItemText(PlatformWindow dialog, int item, char* buffer, int limit) {
  if (limit <= 0) return 0;
  buffer[0] = '\0';
  ModelWindow* window = ModelFindWindow(dialog);
  if (window == nullptr) return 0;
  auto found = window->items.find(item);
  if (found == window->items.end()) return 0;
  // Like an edit control's text, an item's text ends at its first NUL.
  size_t length = std::strlen(found->second.c_str());
  size_t room = static_cast<size_t>(limit) - 1;
  size_t n = length < room ? length : room;
  std::memcpy(buffer, found->second.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

void PlatformEndDialog(PlatformWindow dialog, intptr_t result) {
  ModelWindow* window = ModelFindWindow(dialog);
  if (window == nullptr) return;
  window->ended = true;
  window->endResult = result;
}

PlatformWindow PlatformParentWindow(PlatformWindow window) {
  ModelWindow* record = ModelFindWindow(window);
  return record != nullptr ? record->parent : nullptr;
}

PlatformWindow PlatformDesktopWindow() { return AsHandle(kDesktopHandle); }

PlatformRect PlatformClientAreaOnScreen(PlatformWindow window) {
  if (IsDesktop(window)) return ScreenArea();
  ModelWindow* record = ModelFindWindow(window);
  return record != nullptr ? record->clientArea : PlatformRect{0, 0, 0, 0};
}

PlatformRect PlatformWindowArea(PlatformWindow window) {
  if (IsDesktop(window)) return ScreenArea();
  ModelWindow* record = ModelFindWindow(window);
  return record != nullptr ? record->windowArea : PlatformRect{0, 0, 0, 0};
}

bool PlatformHasSystemMenu(PlatformWindow window) {
  ModelWindow* record = ModelFindWindow(window);
  return record != nullptr && record->systemMenu;
}

int32_t PlatformCaptionButtonWidth() { return TheModel().screen.captionButtonWidth; }
int32_t PlatformScreenWidth() { return TheModel().screen.width; }
int32_t PlatformScreenHeight() { return TheModel().screen.height; }

// The client area keeps its place in the window: it moves with the window's
// top left corner and grows or shrinks with its size.
void PlatformMoveWindow(PlatformWindow window, int32_t x, int32_t y, int32_t width, int32_t height) {
  ModelWindow* record = ModelFindWindow(window);
  if (record == nullptr) return;
  const PlatformRect old = record->windowArea;
  const int64_t dx = int64_t{x} - old.left;
  const int64_t dy = int64_t{y} - old.top;
  const int64_t dw = int64_t{width} - (int64_t{old.right} - old.left);
  const int64_t dh = int64_t{height} - (int64_t{old.bottom} - old.top);
  record->windowArea = PlatformRect{x, y, static_cast<int32_t>(int64_t{x} + width),
                                    static_cast<int32_t>(int64_t{y} + height)};
  PlatformRect& client = record->clientArea;
  client = PlatformRect{static_cast<int32_t>(client.left + dx), static_cast<int32_t>(client.top + dy),
                        static_cast<int32_t>(client.right + dx + dw),
                        static_cast<int32_t>(client.bottom + dy + dh)};
}
