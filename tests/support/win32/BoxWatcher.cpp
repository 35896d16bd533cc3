#include "support/BoxWatcher.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "platform/MessageBox.h"
#include "support/win32/ThreadDialogs.h"

namespace {

std::thread gWatcher;
std::atomic<bool> gStop{false};
std::mutex gLock;
std::vector<ObservedBox> gBoxes;
DWORD gUiThread = 0;

struct IconSearch {
  HICON icon = nullptr;
};

BOOL CALLBACK FindIcon(HWND child, LPARAM param) {
  LONG style = GetWindowLongA(child, GWL_STYLE);
  char cls[32] = {0};
  GetClassNameA(child, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
    reinterpret_cast<IconSearch*>(param)->icon =
        reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
    return FALSE;
  }
  return TRUE;
}

unsigned IconKind(HWND dialog) {
  IconSearch search;
  EnumChildWindows(dialog, FindIcon, reinterpret_cast<LPARAM>(&search));
  if (search.icon == nullptr) return 0;
  if (search.icon == LoadIconA(nullptr, IDI_INFORMATION)) return kMessageBoxIconInformation;
  if (search.icon == LoadIconA(nullptr, IDI_EXCLAMATION)) return kMessageBoxIconExclamation;
  return 0xFF;  // some other icon
}

// In UTF-8, as the POSIX stand-in writes it, so that tests compare one text.
std::string WindowText(HWND window) {
  wchar_t wide[1024] = {0};
  GetWindowTextW(window, wide, 1024);
  char text[4096] = {0};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

void Watch() {
  std::set<HWND> answered;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!gStop.load()) {
    std::vector<HWND> dialogs = VisibleDialogsOf(gUiThread);
    for (HWND dialog : dialogs) {
      if (answered.count(dialog)) continue;
      ObservedBox box;
      box.caption = WindowText(dialog);
      box.captionKnown = true;
      HWND textControl = GetDlgItem(dialog, 0xFFFF);
      box.text = textControl != nullptr ? WindowText(textControl) : std::string();
      box.icon = IconKind(dialog);
      {
        std::lock_guard<std::mutex> hold(gLock);
        gBoxes.push_back(box);
      }
      answered.insert(dialog);
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      // A box that would not close: cancel everything so the test fails
      // instead of hanging.
      for (HWND dialog : dialogs) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    Sleep(5);
  }
}

}  // namespace

void StartBoxWatch() {
  gBoxes.clear();
  gStop = false;
  gUiThread = GetCurrentThreadId();
  gWatcher = std::thread(Watch);
}

std::vector<ObservedBox> StopBoxWatch() {
  gStop = true;
  if (gWatcher.joinable()) gWatcher.join();
  std::lock_guard<std::mutex> hold(gLock);
  return gBoxes;
}

bool BoxesCanBeShown() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0';
}
