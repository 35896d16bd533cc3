// The start sequence through PluginMain against the in-process host: each way
// an export can end, with what it leaves behind (result, file, earlier file,
// theRect, dirty, pathHandle), and exports recorded and replayed without the
// dialog.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "render/Renderer.h"
#include "scripting/RecordedParameters.h"
#include "support/BoxWatcher.h"
#include "support/TestHost.h"

namespace {

const Rect kHostRect = {1, 2, 3, 4};

bool IsEmpty(const Rect& r) { return r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0; }
bool IsHostRect(const Rect& r) {
  return r.top == kHostRect.top && r.left == kHostRect.left && r.bottom == kHostRect.bottom &&
         r.right == kHostRect.right;
}

std::vector<uint8_t> Samples(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 37 + 11);
  return v;
}

std::string Text(const std::vector<uint8_t>& samples, int rows, int lineLength) {
  std::string text;
  for (int r = 0; r < rows; ++r) {
    for (int i = 0; i < lineLength; ++i) text += CharacterRamp[255 - samples[static_cast<size_t>(r * lineLength + i)]];
    text += '\n';
  }
  return text;
}

std::string Recorded(const std::string& path) { return path + std::string(2, '\0'); }

// An export of photo.psd into a folder that already holds photo.txt, played
// without the dialog (the host leaves the dialog to the plug-in and has no
// recorded path).
struct Export {
  TestHost host;
  std::string folder = MakeTempFolder();
  std::string target = JoinPath(folder, "photo.txt");
  std::vector<uint8_t> samples = Samples(6 * 5 * 3);

  Export() {
    host.SetImage(6, 5, 3, samples, kModeRGBColor);
    host.SetDocumentName(JoinPath(folder, "photo.psd"));
    WriteFileBytes(target, "earlier\n");
  }
  ~Export() { RemoveTree(folder); }

  // prepare and start, as a host runs them; finish is left to the test.
  int16_t Start() {
    host.Call(kSelectorPrepare);
    host.record.theRect = kHostRect;
    host.record.dirty = 1;
    return host.Call(kSelectorStart);
  }

  std::string ExpectedText() const { return Text(samples, 6, 15); }
  bool EarlierFileOnly() const {
    return ReadFileBytes(target) == "earlier\n" && ListFolder(folder) == std::vector<std::string>{"photo.txt"};
  }
};

}  // namespace

TEST(Start, ASuccessfulExportLeavesExactlyTheTextAndRecordsThePath) {
  Export e;
  EXPECT_EQ(e.Start(), 0);
  EXPECT_EQ(ReadFileBytes(e.target), e.ExpectedText());
  EXPECT_EQ(ListFolder(e.folder), std::vector<std::string>{"photo.txt"}) << "no temporary file left";
  EXPECT_TRUE(IsEmpty(e.host.record.theRect));
  EXPECT_EQ(e.host.record.dirty, 0);
  ASSERT_NE(e.host.Globals()->pathHandle, nullptr);
  EXPECT_EQ(e.host.HandleBytes(e.host.Globals()->pathHandle), Recorded(e.target));

  EXPECT_EQ(e.host.Call(kSelectorFinish), 0);
  std::vector<TestDescriptorEntry> entries;
  ASSERT_TRUE(e.host.ReadBackDescriptor(&entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].key, kKeyOutputPath);
  EXPECT_EQ(entries[0].alias, Recorded(e.target));
  EXPECT_EQ(e.host.Globals()->pathHandle, nullptr);
  EXPECT_EQ(e.host.handles.lockDepth, 0);
}

TEST(Start, RefusedImagesTouchNothing) {
  const struct {
    const char* what;
    int16_t mode, rows, columns, planes;
    int16_t result;
  } cases[] = {
      {"bitmap", kModeBitmap, 6, 5, 1, kResultBitmapMode},
      {"negative rows", kModeGrayScale, -1, 5, 1, kResultBadParameter},
      {"negative columns", kModeGrayScale, 6, -5, 1, kResultBadParameter},
      {"no planes", kModeGrayScale, 6, 5, 0, kResultBadParameter},
      {"negative planes", kModeRGBColor, 6, 5, -3, kResultBadParameter},
  };
  for (const auto& c : cases) {
    Export e;
    e.host.Call(kSelectorPrepare);
    // What an earlier export left in the globals stays there.
    Handle earlier = e.host.MakeHandle("x", 1);
    e.host.Globals()->pathHandle = earlier;
    e.host.record.imageMode = c.mode;
    e.host.record.imageSize.v = c.rows;
    e.host.record.imageSize.h = c.columns;
    e.host.record.planes = c.planes;
    e.host.record.theRect = kHostRect;
    e.host.record.dirty = 1;
    e.host.resultCell = 0;
    EXPECT_EQ(e.host.Call(kSelectorStart), c.result) << c.what;
    EXPECT_EQ(e.host.descriptors.openReadCalls, 0) << c.what;
    EXPECT_TRUE(e.EarlierFileOnly()) << c.what;
    EXPECT_TRUE(IsHostRect(e.host.record.theRect)) << c.what;
    EXPECT_EQ(e.host.record.dirty, 1) << c.what;
    EXPECT_EQ(e.host.Globals()->pathHandle, earlier) << c.what;
    EXPECT_TRUE(e.host.bands.requests.empty()) << c.what;
  }
}

TEST(Start, AnOutputPathThatCannotBeReplacedEndsTheExportBeforeRendering) {
  const struct {
    const char* what;
    std::string recorded;  // relative to the export's folder
    bool folderAtTarget;
  } cases[] = {
      {"missing folder", "missing/out.txt", false},
      {"folder at the target", "photo.txt", true},
      {"composed path too long", std::string(250, 'n') + "/", false},
  };
  for (const auto& c : cases) {
    Export e;
    std::string recorded = e.folder + PathSeparator() + c.recorded;
    for (char& ch : recorded) {
      if (ch == '/') ch = PathSeparator();
    }
    if (c.folderAtTarget) {
      std::remove(e.target.c_str());
      MakeFolder(e.target);
      WriteFileBytes(JoinPath(e.target, "inside"), "i");
    }
    e.host.SetRecordedDescriptor({{kKeyOutputPath, Recorded(recorded)}});
    EXPECT_EQ(e.Start(), kResultFileOpenError) << c.what;
    EXPECT_EQ(ListFolder(e.folder), std::vector<std::string>{"photo.txt"}) << c.what;
    if (c.folderAtTarget) {
      EXPECT_EQ(ListFolder(e.target), std::vector<std::string>{"inside"});
    } else {
      EXPECT_EQ(ReadFileBytes(e.target), "earlier\n");
    }
    EXPECT_TRUE(e.host.bands.requests.empty()) << c.what;
    EXPECT_TRUE(e.host.progress.empty()) << c.what;
    EXPECT_TRUE(IsHostRect(e.host.record.theRect)) << c.what;
    EXPECT_EQ(e.host.record.dirty, 1) << c.what;
    EXPECT_EQ(e.host.Globals()->pathHandle, nullptr) << c.what;
  }
}

TEST(Start, AFailureDuringRenderingLeavesTheEarlierFileAsItWas) {
  const struct {
    const char* what;
    int abortAtRow;
    int abortAtCall;
    ResultCode bandError;
    int16_t result;
  } cases[] = {
      {"abort before the first band", -1, 0, 0, kResultCancelled},
      {"abort at row 3", 3, -1, 0, kResultCancelled},
      {"band refused", -1, -1, kResultOutOfMemory, kResultOutOfMemory},
  };
  for (const auto& c : cases) {
    Export e;
    e.host.abortAtRow = c.abortAtRow;
    e.host.abortAtCall = c.abortAtCall;
    if (c.bandError != 0) {
      e.host.bands.failWith = c.bandError;
      e.host.bands.failAtRequest = 1;
      e.host.record.maxData = 15 * 2;  // two rows a band
    }
    EXPECT_EQ(e.Start(), c.result) << c.what;
    EXPECT_TRUE(e.EarlierFileOnly()) << c.what;
    EXPECT_TRUE(IsEmpty(e.host.record.theRect)) << c.what;
    EXPECT_EQ(e.host.record.dirty, 0) << c.what;
    EXPECT_EQ(e.host.HandleBytes(e.host.Globals()->pathHandle), Recorded(e.target)) << c.what;
  }
}

TEST(Start, AHostWithoutAdvanceStateIsToldAndNothingIsLeft) {
  if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for message boxes";
  Export e;
  e.host.record.advanceState = nullptr;
  StartBoxWatch();
  int16_t result = e.Start();
  std::vector<ObservedBox> boxes = StopBoxWatch();
  EXPECT_EQ(result, kResultCancelled);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(e.EarlierFileOnly());
  EXPECT_TRUE(IsEmpty(e.host.record.theRect));
  EXPECT_EQ(e.host.record.dirty, 0);
}

TEST(Start, ADescriptorErrorLetsTheExportRunButKeepsNoFile) {
  Export e;
  e.host.descriptors.overrideCloseRead = true;
  e.host.descriptors.closeReadResult = kResultOutOfMemory;
  e.host.SetRecordedDescriptor({});
  EXPECT_EQ(e.Start(), kResultOutOfMemory);
  EXPECT_EQ(e.host.progress.size(), 6u) << "every row was rendered";
  EXPECT_TRUE(e.EarlierFileOnly());
  EXPECT_TRUE(IsEmpty(e.host.record.theRect));
  EXPECT_EQ(e.host.record.dirty, 0);
  EXPECT_NE(e.host.Globals()->pathHandle, nullptr);
}

TEST(Start, DegenerateSizesGiveTheTextTheyDescribe) {
  const struct {
    const char* what;
    int rows, columns, planes;
    int32_t maxData;
    std::string text;
  } cases[] = {
      {"no rows", 0, 5, 1, 524288, ""},
      {"no columns", 3, 0, 1, 524288, "\n\n\n"},
      {"no data budget", 2, 2, 1, 0, "@@\n@@\n"},
      {"a negative data budget", 2, 2, 1, -7, "@@\n@@\n"},
  };
  for (const auto& c : cases) {
    Export e;
    e.host.SetImage(c.rows, c.columns, c.planes,
                    std::vector<uint8_t>(static_cast<size_t>(c.rows * c.columns * c.planes), 0));
    e.host.record.maxData = c.maxData;
    EXPECT_EQ(e.Start(), 0) << c.what;
    EXPECT_EQ(ReadFileBytes(e.target), c.text) << c.what;
    EXPECT_EQ(ListFolder(e.folder), std::vector<std::string>{"photo.txt"}) << c.what;
  }
}

TEST(Start, APathThatFinishCouldNotRecordIsReleasedByTheNextExport) {
  Export e;
  e.host.descriptors.openWriteFails = true;
  EXPECT_EQ(e.host.Export(), 0);
  ASSERT_NE(e.host.Globals()->pathHandle, nullptr) << "finish had nowhere to put it";
  size_t live = e.host.LiveHandleCount();
  e.host.SetDocumentName(JoinPath(e.folder, "photo.psd"));
  EXPECT_EQ(e.host.Export(), 0);
  EXPECT_EQ(e.host.LiveHandleCount(), live) << "the stale path is not leaked";
}

TEST(Start, AReplayWithoutTheDialogWritesIntoTheRecordedFileOrFolder) {
  // A host may hand the recorded bytes back as stored or without their NULs.
  for (bool withoutNuls : {false, true}) {
    for (bool folderOnly : {false, true}) {
      Export e;
      e.host.descriptors.aliasWithoutNuls = withoutNuls;
      e.host.Call(kSelectorPrepare);
      // As after a dialog in which the proposed name was kept, or not.
      e.host.Globals()->sameTitle = folderOnly ? 1 : 0;
      EXPECT_EQ(e.host.Export(), 0);
      std::vector<TestDescriptorEntry> recorded;
      ASSERT_TRUE(e.host.ReadBackDescriptor(&recorded));
      ASSERT_EQ(recorded.size(), 1u);
      EXPECT_EQ(recorded[0].alias, Recorded(folderOnly ? e.folder + PathSeparator() : e.target));

      // Played on another document, which has no folder of its own.
      TestHost replay;
      replay.descriptors.aliasWithoutNuls = withoutNuls;
      std::vector<uint8_t> other(4, 255);
      replay.SetImage(2, 2, 1, other);
      replay.SetDocumentName("other.psd");
      replay.SetRecordedDescriptor(recorded);
      EXPECT_EQ(replay.Export(), 0);
      std::string written = JoinPath(e.folder, folderOnly ? "other.txt" : "photo.txt");
      EXPECT_EQ(ReadFileBytes(written), "  \n  \n") << withoutNuls << folderOnly;
      EXPECT_EQ(ListFolder(e.folder).size(), folderOnly ? 2u : 1u);
    }
  }
}
