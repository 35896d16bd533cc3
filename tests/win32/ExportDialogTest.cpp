// The built module's export parameter dialog, opened under Wine as a caller
// would open it: DialogBoxParamA with the module's own template EXPORTPARAM
// and the procedure found by its export name, a CountedString as the
// parameter. A driver thread works the dialog as a user would: it reads the
// edit field, types, and presses buttons with posted messages.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostsupport/CountedString.h"
#include "hostsupport/DialogPlacement.h"
#include "support/BoxWatcher.h"
#include "support/ModuleFile.h"
#include "support/CountedStrings.h"
#include "support/win32/ThreadDialogs.h"

namespace {

HMODULE Module() {
  static HMODULE module = LoadLibraryA(GW_MODULE_FILE);
  return module;
}

DLGPROC ModuleProc(const char* name) {
  FARPROC proc = GetProcAddress(Module(), name);
  return reinterpret_cast<DLGPROC>(reinterpret_cast<void (*)()>(proc));
}

DLGPROC ExportProcOfModule() { return ModuleProc("_ExportProc@16"); }

using Clock = std::chrono::steady_clock;

std::string WindowTextOf(HWND window) {
  char text[1024] = {0};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// What a script may do with the open dialog; every wait ends at the
// driver's deadline.
struct Session {
  HWND dialog;
  Clock::time_point deadline;
  bool late = false;

  HWND Edit() const { return GetDlgItem(dialog, 4); }
  std::string Field() const { return WindowTextOf(Edit()); }

  bool WaitFor(const std::function<bool()>& condition) {
    while (!condition()) {
      if (Clock::now() > deadline) {
        late = true;
        return false;
      }
      Sleep(5);
    }
    return true;
  }

  // Selects the whole field and types over it, key by key, then waits until
  // the field shows the text.
  bool Type(const std::string& text) {
    PostMessageA(Edit(), EM_SETSEL, 0, -1);
    for (char c : text) {
      PostMessageA(Edit(), WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(c)), 1);
    }
    return WaitFor([&] { return Field() == text; });
  }

  void Press(int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  }
};

struct Outcome {
  INT_PTR result = 0;
  bool timedOut = false;  // the dialog never showed, or had to be cancelled
};

// Opens EXPORTPARAM over `parent` on this thread while a driver thread runs
// `script` on it. A dialog that never shows, or that the script does not
// close within 5 s, is reported as timed out (and cancelled).
Outcome OpenDialog(HWND parent, CountedString* text, const std::function<void(Session&)>& script) {
  Outcome outcome;
  std::atomic<bool> returned{false};
  std::atomic<bool> timedOut{false};
  const DWORD ui = GetCurrentThreadId();
  std::thread driver([&] {
    Session session{nullptr, Clock::now() + std::chrono::seconds(5)};
    session.WaitFor([&] {
      std::vector<HWND> dialogs = VisibleDialogsOf(ui);
      if (!dialogs.empty()) session.dialog = dialogs.front();
      return session.dialog != nullptr || returned.load();
    });
    if (session.dialog == nullptr) {
      timedOut = true;
      return;
    }
    script(session);
    session.WaitFor([&] { return returned.load(); });
    if (session.late) {
      timedOut = true;
      while (!returned.load()) {
        for (HWND dialog : VisibleDialogsOf(ui)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        Sleep(20);
      }
    }
  });
  outcome.result = DialogBoxParamA(Module(), "EXPORTPARAM", parent, ExportProcOfModule(),
                                   reinterpret_cast<LPARAM>(text));
  returned = true;
  driver.join();
  outcome.timedOut = timedOut.load();
  return outcome;
}

// A pop-up window with a caption, so that its client area differs from its
// window rectangle: the dialog is centred over the client area.
HWND MakeParent(int x, int y, int width, int height) {
  return CreateWindowExA(0, "STATIC", "parent", WS_POPUP | WS_CAPTION | WS_VISIBLE, x, y, width,
                         height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// The position the centring arithmetic gives for this dialog over its
// reference window, from what Windows reports about both.
DialogPosition ExpectedPosition(HWND dialog, HWND parent) {
  HWND reference = parent != nullptr ? parent : GetDesktopWindow();
  RECT client{};
  GetClientRect(reference, &client);
  POINT topLeft{client.left, client.top};
  POINT bottomRight{client.right, client.bottom};
  ClientToScreen(reference, &topLeft);
  ClientToScreen(reference, &bottomRight);
  RECT window{};
  GetWindowRect(dialog, &window);
  bool systemMenu = (GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU) != 0;
  return CenteredDialogPosition({topLeft.x, topLeft.y, bottomRight.x, bottomRight.y},
                                window.right - window.left, window.bottom - window.top,
                                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                GetSystemMetrics(SM_CXSIZE), systemMenu);
}

class ExportDialogUnderWine : public testing::Test {
 protected:
  void SetUp() override {
    if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for dialogs";
    ASSERT_NE(Module(), nullptr);
    ASSERT_NE(ExportProcOfModule(), nullptr) << "no export named _ExportProc@16";
  }
};

}  // namespace

TEST(ExportDialogModule, ExportedUnderItsExactNameOnly) {
  ASSERT_NE(Module(), nullptr);
  EXPECT_NE(ExportProcOfModule(), nullptr);
  EXPECT_EQ(ModuleProc("ExportProc@16"), nullptr);
  EXPECT_EQ(ModuleProc("ExportProc"), nullptr);
}

TEST(ExportDialogModule, TemplateFoundByNameAsDialogResource) {
  ASSERT_NE(Module(), nullptr);
  HRSRC found = FindResourceA(Module(), "EXPORTPARAM", MAKEINTRESOURCEA(5) /* RT_DIALOG */);
  ASSERT_NE(found, nullptr);
  const void* data = LockResource(LoadResource(Module(), found));
  ASSERT_NE(data, nullptr);
  std::string bytes(static_cast<const char*>(data), SizeofResource(Module(), found));
  // The same bytes as the US English template that the field-by-field test
  // takes apart.
  std::string usEnglish;
  ASSERT_TRUE(ModuleNamedResource(5, "EXPORTPARAM", &usEnglish));
  EXPECT_EQ(bytes, usEnglish);
}

TEST_F(ExportDialogUnderWine, OkStoresTheTypedName) {
  auto s = MakeCounted("a.txt");
  std::string shown, afterTyping;
  Outcome outcome = OpenDialog(nullptr, s.get(), [&](Session& session) {
    shown = session.Field();
    if (session.Type("b.txt")) afterTyping = session.Field();
    session.Press(IDOK);
  });
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(shown, "a.txt");
  EXPECT_EQ(afterTyping, "b.txt");
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(CountedText(*s), "b.txt");
  EXPECT_EQ(s->chars[s->length], '\0');
}

TEST_F(ExportDialogUnderWine, CancelLeavesTheName) {
  auto s = MakeCounted("a.txt");
  bool typed = false;
  Outcome outcome = OpenDialog(nullptr, s.get(), [&](Session& session) {
    typed = session.Type("b.txt");
    session.Press(IDCANCEL);
  });
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_TRUE(typed);
  EXPECT_EQ(outcome.result, 2);
  EXPECT_EQ(CountedText(*s), "a.txt");
}

TEST_F(ExportDialogUnderWine, A255CharacterNameIsShownCutTo254) {
  auto s = MakeCounted(std::string(254, 'n') + "X");
  ASSERT_EQ(s->length, 255);
  std::string shown;
  Outcome outcome = OpenDialog(nullptr, s.get(), [&](Session& session) {
    shown = session.Field();
    session.Press(IDOK);
  });
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(shown, std::string(254, 'n'));
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(CountedText(*s), std::string(254, 'n'));
}

TEST_F(ExportDialogUnderWine, OtherCommandsAndMessagesAnswerZeroAndChangeNothing) {
  auto s = MakeCounted("a.txt");
  DLGPROC proc = ExportProcOfModule();
  std::vector<INT_PTR> answers;
  std::string shownAfter;
  Outcome outcome = OpenDialog(nullptr, s.get(), [&](Session& session) {
    HWND dialog = session.dialog;
    // Straight calls: none of these touches a window, so the driver thread
    // may make them.
    answers.push_back(proc(dialog, WM_COMMAND, MAKEWPARAM(3, 0), 0));
    answers.push_back(proc(dialog, WM_COMMAND, MAKEWPARAM(4, EN_CHANGE), 0));
    answers.push_back(proc(dialog, WM_COMMAND, MAKEWPARAM(99, BN_CLICKED), 0));
    answers.push_back(proc(dialog, WM_TIMER, 1, 0));
    answers.push_back(proc(dialog, WM_CLOSE, 0, 0));
    answers.push_back(proc(dialog, WM_USER, IDOK, 0));
    // Through the dialog manager: other commands, then OK. Had any of them
    // ended the dialog, its result would not be OK's.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(4, EN_CHANGE), 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(99, BN_CLICKED), 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(3, 0), 0);
    shownAfter = session.Field();
    session.Press(IDOK);
  });
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(answers, std::vector<INT_PTR>(6, 0));
  EXPECT_EQ(shownAfter, "a.txt");
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(CountedText(*s), "a.txt");
}

TEST_F(ExportDialogUnderWine, PlacedWhereTheCentringArithmeticSays) {
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  const struct {
    const char* name;
    bool hasParent;
    int x, y, width, height;
  } cases[] = {
      {"centred over a wide parent", true, 100, 80, 600, 400},
      {"a parent narrower than the dialog, near the left edge", true, 3, 200, 40, 30},
      {"a parent at the bottom right corner", true, screenWidth - 150, screenHeight - 60, 150, 60},
      {"no parent: the desktop", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HWND parent = c.hasParent ? MakeParent(c.x, c.y, c.width, c.height) : nullptr;
    if (c.hasParent) {
      ASSERT_NE(parent, nullptr);
    }
    auto s = MakeCounted("a.txt");
    RECT placed{};
    DialogPosition expected{};
    HWND owner = nullptr;
    Outcome outcome = OpenDialog(parent, s.get(), [&](Session& session) {
      GetWindowRect(session.dialog, &placed);
      owner = GetParent(session.dialog);
      expected = ExpectedPosition(session.dialog, parent);
      session.Press(IDCANCEL);
    });
    if (parent != nullptr) DestroyWindow(parent);
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(owner, parent);
    EXPECT_EQ(placed.left, expected.x);
    EXPECT_EQ(placed.top, expected.y);
    if (c.hasParent && c.x == 3) {
      EXPECT_LT(placed.left, 0) << "the left edge of the screen is not enforced";
    }
    if (c.hasParent && c.x > 3) {
      EXPECT_LE(placed.right, screenWidth);
      EXPECT_LE(placed.bottom, screenHeight);
    }
  }
}
