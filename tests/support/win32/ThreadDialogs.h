// The dialogs a thread shows: what the driver threads of the GUI tests look
// for before they read or press anything.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace thread_dialogs {

inline BOOL CALLBACK Collect(HWND window, LPARAM param) {
  char cls[32] = {0};
  GetClassNameA(window, cls, sizeof cls);
  if (std::string(cls) == "#32770" && IsWindowVisible(window)) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  }
  return TRUE;
}

}  // namespace thread_dialogs

// The visible dialog windows (class "#32770") of `thread`, message boxes
// included.
inline std::vector<HWND> VisibleDialogsOf(DWORD thread) {
  std::vector<HWND> dialogs;
  EnumThreadWindows(thread, thread_dialogs::Collect, reinterpret_cast<LPARAM>(&dialogs));
  return dialogs;
}
