#include "support/SaveDialogDriver.h"
#include "support/win32/ThreadDialogs.h"

#include <windows.h>
#include <commdlg.h>
#include <dlgs.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct EditSearch {
  HWND edit = nullptr;
};

BOOL CALLBACK FindEdit(HWND child, LPARAM param) {
  char cls[32] = {0};
  GetClassNameA(child, cls, sizeof cls);
  if (lstrcmpiA(cls, "Edit") == 0) {
    reinterpret_cast<EditSearch*>(param)->edit = child;
    return FALSE;
  }
  return TRUE;
}

// The file name box: an Edit inside cmb13 (a ComboBoxEx32 holding a
// ComboBox), or edt1 in older layouts.
HWND NameBox(HWND dialog) {
  HWND combo = GetDlgItem(dialog, cmb13);
  if (combo != nullptr) {
    EditSearch search;
    EnumChildWindows(combo, FindEdit, reinterpret_cast<LPARAM>(&search));
    if (search.edit != nullptr) return search.edit;
  }
  return GetDlgItem(dialog, edt1);
}

bool IsSaveDialog(HWND dialog) {
  return GetDlgItem(dialog, cmb13) != nullptr || GetDlgItem(dialog, edt1) != nullptr;
}

std::string TextOf(HWND window) {
  char text[1024] = {0};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

void Press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

struct Driver {
  SaveDialogUser user;
  DWORD uiThread = 0;
  std::atomic<bool> stop{false};
  std::mutex lock;
  SaveDialogSeen seen;
};

void Drive(Driver* driver) {
  HWND saveDialog = nullptr;
  bool pressedSave = false;
  bool refused = false;
  std::vector<HWND> answered;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!driver->stop.load()) {
    std::vector<HWND> dialogs = VisibleDialogsOf(driver->uiThread);
    for (HWND dialog : dialogs) {
      bool done = false;
      for (HWND a : answered) done = done || a == dialog;
      if (done) continue;
      if (IsSaveDialog(dialog)) {
        if (dialog == saveDialog) {
          // Still open after a refusal to replace: give up.
          if (refused) {
            Press(dialog, IDCANCEL);
            answered.push_back(dialog);
          }
          continue;
        }
        saveDialog = dialog;
        std::lock_guard<std::mutex> hold(driver->lock);
        ++driver->seen.shown;
        driver->seen.title = TextOf(dialog);
        HWND name = NameBox(dialog);
        if (name != nullptr) driver->seen.proposedName = TextOf(name);
        driver->seen.fileType = TextOf(GetDlgItem(dialog, cmb1));
        char folder[MAX_PATH] = {0};
        DWORD_PTR unused = 0;
        SendMessageTimeoutA(dialog, CDM_GETFOLDERPATH, sizeof folder, reinterpret_cast<LPARAM>(folder),
                            SMTO_ABORTIFHUNG, 2000, &unused);
        driver->seen.folder = folder;
        if (driver->user.cancel) {
          Press(dialog, IDCANCEL);
          answered.push_back(dialog);
        } else {
          if (!driver->user.typeName.empty() && name != nullptr) {
            SendMessageTimeoutA(name, WM_SETTEXT, 0,
                                reinterpret_cast<LPARAM>(driver->user.typeName.c_str()),
                                SMTO_ABORTIFHUNG, 2000, &unused);
          }
          Press(dialog, IDOK);
          pressedSave = true;
        }
        continue;
      }
      // A message box of the dialog: the replace prompt, or a complaint.
      HWND text = GetDlgItem(dialog, 0xFFFF);
      std::string message = text != nullptr ? TextOf(text) : std::string();
      answered.push_back(dialog);
      if (pressedSave && message.find("already exists") != std::string::npos) {
        std::lock_guard<std::mutex> hold(driver->lock);
        driver->seen.askedToReplace = true;
        refused = !driver->user.replace;
        Press(dialog, driver->user.replace ? IDYES : IDNO);
      } else {
        std::lock_guard<std::mutex> hold(driver->lock);
        driver->seen.transcript += message + "\n";
        refused = true;
        Press(dialog, IDOK);
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      // Something would not close: cancel everything so the test fails
      // instead of hanging.
      for (HWND dialog : dialogs) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    Sleep(5);
  }
}

}  // namespace

std::string RunWithSaveDialog(const SaveDialogUser& user, const std::function<std::string()>& body,
                              SaveDialogSeen* seen) {
  Driver driver;
  driver.user = user;
  driver.uiThread = GetCurrentThreadId();
  std::thread thread(Drive, &driver);
  std::string out = body();
  driver.stop = true;
  thread.join();
  *seen = driver.seen;
  return out;
}
