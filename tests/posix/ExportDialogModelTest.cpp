// ExportProc and its helpers against the POSIX stand-in's in-memory windows:
// the test plays the dialog manager, sending the messages that Windows
// would send and reading back what the procedure did to the dialog.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hostsupport/DialogPlacement.h"
#include "hostsupport/ExportDialog.h"
#include "platform/posix/DialogModel.h"
#include "support/CountedStrings.h"

namespace {

// Each string lives in a heap block of exactly 256 bytes, so the sanitizer
// build catches any write past it.
DialogLParam Param(CountedString* s) { return reinterpret_cast<DialogLParam>(s); }

class ExportDialogModel : public testing::Test {
 protected:
  void SetUp() override {
    ModelSetScreen(ModelScreen{});
    dialogTextRef = nullptr;
    ModelWindow parentRecord;
    parentRecord.windowArea = {100, 80, 700, 500};
    parentRecord.clientArea = {104, 100, 696, 496};
    parent = ModelCreateWindow(parentRecord);

    ModelWindow dialogRecord;
    dialogRecord.parent = parent;
    dialogRecord.windowArea = {0, 0, 246, 96};
    dialogRecord.clientArea = {3, 22, 243, 93};
    dialogRecord.items = {{3, "File &Name:"}, {4, ""}, {1, "OK"}, {2, "Cancel"}};
    dialog = ModelCreateWindow(dialogRecord);
  }
  void TearDown() override {
    ModelDestroyWindow(dialog);
    ModelDestroyWindow(parent);
  }

  ModelWindow& Dialog() { return *ModelFindWindow(dialog); }
  std::string& Field() { return Dialog().items[4]; }
  int32_t Command(DialogWParam wParam) { return ExportProc(dialog, kMessageCommand, wParam, 0); }

  PlatformWindow parent = nullptr;
  PlatformWindow dialog = nullptr;
};

}  // namespace

TEST_F(ExportDialogModel, InitShowsTheStringAndOkStoresTheEditedText) {
  auto s = MakeCounted("a.txt");
  EXPECT_EQ(ExportProc(dialog, kMessageInitDialog, 0, Param(s.get())), 0)
      << "0: the dialog manager must not choose the focus";
  EXPECT_EQ(dialogTextRef, s.get());
  EXPECT_EQ(Field(), "a.txt");
  EXPECT_FALSE(Dialog().ended);

  Field() = "b.txt";
  EXPECT_EQ(Command(kCommandOk), 1);
  EXPECT_TRUE(Dialog().ended);
  EXPECT_EQ(Dialog().endResult, 1);
  EXPECT_EQ(CountedText(*s), "b.txt");
  EXPECT_EQ(s->chars[s->length], '\0');
}

TEST_F(ExportDialogModel, CancelLeavesTheString) {
  auto s = MakeCounted("a.txt");
  ExportProc(dialog, kMessageInitDialog, 0, Param(s.get()));
  Field() = "b.txt";
  EXPECT_EQ(Command(kCommandCancel), 1);
  EXPECT_TRUE(Dialog().ended);
  EXPECT_EQ(Dialog().endResult, 2);
  EXPECT_EQ(CountedText(*s), "a.txt");
}

TEST_F(ExportDialogModel, OnlyTheLowWordOfACommandCounts) {
  auto s = MakeCounted("a.txt");
  ExportProc(dialog, kMessageInitDialog, 0, Param(s.get()));
  Field() = "b.txt";
  // A notification code in the high word (here 1, from an accelerator).
  EXPECT_EQ(Command(0x00010001u), 1);
  EXPECT_EQ(Dialog().endResult, 1);
  EXPECT_EQ(CountedText(*s), "b.txt");
}

TEST_F(ExportDialogModel, OtherCommandsAndMessagesAnswerZeroAndChangeNothing) {
  auto s = MakeCounted("a.txt");
  ExportProc(dialog, kMessageInitDialog, 0, Param(s.get()));
  const PlatformRect placed = Dialog().windowArea;
  Field() = "typed";

  for (DialogWParam id : {DialogWParam{0}, DialogWParam{3}, DialogWParam{4}, DialogWParam{0x10004},
                          DialogWParam{0x0101}, DialogWParam{0xFFFF}}) {
    EXPECT_EQ(Command(id), 0) << "command " << id;
  }
  const DialogMessage others[] = {0x0000, 0x0010 /* WM_CLOSE */, 0x000F /* WM_PAINT */,
                                  0x0112 /* WM_SYSCOMMAND */, 0x0113 /* WM_TIMER */,
                                  0x0100 | 0x10000u};
  for (DialogMessage m : others) {
    EXPECT_EQ(ExportProc(dialog, m, kCommandOk, Param(s.get())), 0) << "message " << m;
  }

  EXPECT_FALSE(Dialog().ended);
  EXPECT_EQ(CountedText(*s), "a.txt");
  EXPECT_EQ(Field(), "typed");
  EXPECT_EQ(dialogTextRef, s.get());
  EXPECT_EQ(Dialog().windowArea.left, placed.left);
  EXPECT_EQ(Dialog().windowArea.top, placed.top);
}

TEST_F(ExportDialogModel, A255CharacterStringIsCutTo254BeforeItIsShown) {
  auto s = MakeCounted(std::string(254, 'x') + "y");
  ASSERT_EQ(s->length, 255);
  ExportProc(dialog, kMessageInitDialog, 0, Param(s.get()));
  EXPECT_EQ(Field(), std::string(254, 'x'));
  EXPECT_EQ(s->length, 254) << "the caller's string itself is cut";
  EXPECT_EQ(s->chars[254], '\0');

  // 254 characters stay whole.
  auto whole = MakeCounted(std::string(253, 'x') + "z");
  ExportProc(dialog, kMessageInitDialog, 0, Param(whole.get()));
  EXPECT_EQ(Field(), std::string(253, 'x') + "z");
  EXPECT_EQ(whole->length, 254);
}

TEST_F(ExportDialogModel, OkReadsAtMost254Characters) {
  auto s = MakeCounted("a.txt");
  ExportProc(dialog, kMessageInitDialog, 0, Param(s.get()));
  Field() = std::string(300, 'q');
  Command(kCommandOk);
  EXPECT_EQ(CountedText(*s), std::string(254, 'q'));
  EXPECT_EQ(s->chars[254], '\0');

  // An emptied field gives an empty string.
  auto t = MakeCounted("a.txt");
  ExportProc(dialog, kMessageInitDialog, 0, Param(t.get()));
  Field().clear();
  Command(kCommandOk);
  EXPECT_EQ(t->length, 0);
  EXPECT_EQ(t->chars[0], '\0');
}

TEST_F(ExportDialogModel, InitCentresOverTheParent) {
  auto s = MakeCounted("a.txt");
  ExportProc(dialog, kMessageInitDialog, 0, Param(s.get()));
  DialogPosition expected = CenteredDialogPosition({104, 100, 696, 496}, 246, 96, 1024, 768, 18,
                                                   false);
  const PlatformRect placed = Dialog().windowArea;
  EXPECT_EQ(placed.left, expected.x);
  EXPECT_EQ(placed.top, expected.y);
  EXPECT_EQ(placed.right - placed.left, 246) << "the size is kept";
  EXPECT_EQ(placed.bottom - placed.top, 96);
  // Worked out by hand: (592 − 246) / 2 + 104 − 12, (396 − 96) / 3 + 100.
  EXPECT_EQ(placed.left, 265);
  EXPECT_EQ(placed.top, 200);
}

TEST_F(ExportDialogModel, CentringUsesTheDesktopWithoutAParentAndTheFullBiasWithASystemMenu) {
  ModelSetScreen(ModelScreen{800, 600, 24});
  Dialog().parent = nullptr;
  Dialog().systemMenu = true;
  CenterDialog(dialog);
  EXPECT_EQ(Dialog().windowArea.left, (800 - 246) / 2 - 24);
  EXPECT_EQ(Dialog().windowArea.top, (600 - 96) / 3);

  Dialog().systemMenu = false;
  CenterDialog(dialog);
  EXPECT_EQ(Dialog().windowArea.left, (800 - 246) / 2 - 16);
}

TEST_F(ExportDialogModel, OpenedWithoutAStringTheDialogStillWorks) {
  EXPECT_EQ(ExportProc(dialog, kMessageInitDialog, 0, 0), 0);
  EXPECT_EQ(Field(), "");
  Field() = "b.txt";
  EXPECT_EQ(Command(kCommandOk), 1);
  EXPECT_TRUE(Dialog().ended);
  EXPECT_EQ(Dialog().endResult, 1);
}
