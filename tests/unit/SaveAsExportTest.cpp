// Exports through the Save As dialog, answered by a test user: what the
// dialog offers, what is written and recorded, replays of the recorded step
// without the dialog, and cancels that leave everything as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scripting/RecordedParameters.h"
#include "support/BoxWatcher.h"
#include "support/SaveDialogDriver.h"
#include "support/TestHost.h"

namespace {

const Rect kHostRect = {1, 2, 3, 4};
const char kField = '\x1f';

// What an export through the dialog left, as it crosses from the process
// that ran it.
struct Outcome {
  int result = 0;
  bool rectKept = false;
  int dirty = 0;
  bool pathRecorded = false;
  std::vector<TestDescriptorEntry> recorded;
};

std::string Encode(const Outcome& o) {
  std::string s = std::to_string(o.result) + kField + (o.rectKept ? "1" : "0") + kField +
                  std::to_string(o.dirty) + kField + (o.pathRecorded ? "1" : "0");
  for (const auto& e : o.recorded) s += kField + std::to_string(e.key) + kField + e.alias;
  return s;
}

Outcome Decode(const std::string& s) {
  std::vector<std::string> f;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == kField) {
      f.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  Outcome o;
  if (f.size() < 4) {
    o.result = 12345;  // the run failed: `s` says how
    ADD_FAILURE() << "export did not report: " << s;
    return o;
  }
  o.result = std::stoi(f[0]);
  o.rectKept = f[1] == "1";
  o.dirty = std::stoi(f[2]);
  o.pathRecorded = f[3] == "1";
  for (size_t i = 4; i + 1 < f.size(); i += 2) {
    o.recorded.push_back({static_cast<DescriptorKeyID>(std::stoul(f[i])), f[i + 1]});
  }
  return o;
}

std::vector<uint8_t> Gray(size_t n, uint8_t level) { return std::vector<uint8_t>(n, level); }

// A host that asks for the dialog exports photo.psd (black, 2 × 3) from
// `folder`.
Outcome ExportThroughDialog(const std::string& folder, const SaveDialogUser& user, SaveDialogSeen* seen) {
  std::string document = JoinPath(folder, "photo.psd");
  return Decode(RunWithSaveDialog(
      user,
      [&document]() {
        TestHost host;
        host.descriptorParameters.playInfo = kPlayDialogRequired;
        host.SetImage(2, 3, 1, Gray(6, 0));
        host.SetDocumentName(document);
        host.Call(kSelectorPrepare);
        host.record.theRect = kHostRect;
        host.record.dirty = 1;
        Outcome o;
        o.result = host.Call(kSelectorStart);
        const Rect& r = host.record.theRect;
        o.rectKept = r.top == 1 && r.left == 2 && r.bottom == 3 && r.right == 4;
        o.dirty = host.record.dirty;
        o.pathRecorded = host.Globals()->pathHandle != nullptr;
        host.Call(kSelectorFinish);
        host.ReadBackDescriptor(&o.recorded);
        return Encode(o);
      },
      seen));
}

// Replays a recorded step without the dialog on another document (white,
// 1 × 2, no folder of its own).
int16_t Replay(const std::vector<TestDescriptorEntry>& recorded) {
  TestHost host;
  host.descriptorParameters.playInfo = kPlayDialogOptional;
  host.SetImage(1, 2, 1, Gray(2, 255));
  host.SetDocumentName("other.psd");
  host.SetRecordedDescriptor(recorded);
  return host.Export();
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

class SaveAsExport : public testing::Test {
 protected:
  void SetUp() override {
    if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for the Save As dialog";
    folder_ = MakeTempFolder();
  }
  void TearDown() override {
    if (!folder_.empty()) RemoveTree(folder_);
  }
  std::string folder_;
};

}  // namespace

TEST_F(SaveAsExport, KeepingTheProposedNameRecordsTheFolderForTheNextDocument) {
  SaveDialogSeen seen;
  Outcome o = ExportThroughDialog(folder_, SaveDialogUser{}, &seen);
  EXPECT_EQ(seen.shown, 1);
  EXPECT_EQ(seen.title, "Glyphweave");
  EXPECT_EQ(seen.fileType, "Glyphweave (*.txt)");
  EXPECT_EQ(seen.proposedName, "photo");
  EXPECT_EQ(WithoutTrailingSeparator(seen.folder), folder_);
  EXPECT_FALSE(seen.askedToReplace);

  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(ReadFileBytes(JoinPath(folder_, "photo.txt")), "@@@\n@@@\n");
  EXPECT_EQ(ListFolder(folder_), std::vector<std::string>{"photo.txt"});
  ASSERT_EQ(o.recorded.size(), 1u);
  EXPECT_EQ(o.recorded[0].key, kKeyOutputPath);
  EXPECT_EQ(o.recorded[0].alias, folder_ + PathSeparator() + std::string(2, '\0'));

  EXPECT_EQ(Replay(o.recorded), 0);
  EXPECT_EQ(ReadFileBytes(JoinPath(folder_, "other.txt")), "  \n");
  EXPECT_EQ(ReadFileBytes(JoinPath(folder_, "photo.txt")), "@@@\n@@@\n");
}

TEST_F(SaveAsExport, AnotherNameRecordsTheWholePath) {
  // A name without an extension gets ".txt"; a change of case is another name.
  for (const char* typed : {"custom", "Photo.txt"}) {
    SaveDialogUser user;
    user.typeName = typed;
    SaveDialogSeen seen;
    Outcome o = ExportThroughDialog(folder_, user, &seen);
    std::string file = std::string(typed) == "custom" ? "custom.txt" : "Photo.txt";
    std::string path = JoinPath(folder_, file);
    EXPECT_EQ(o.result, 0) << typed;
    EXPECT_EQ(ReadFileBytes(path), "@@@\n@@@\n") << typed;
    ASSERT_EQ(o.recorded.size(), 1u);
    EXPECT_EQ(o.recorded[0].alias, path + std::string(2, '\0'));

    EXPECT_EQ(Replay(o.recorded), 0);
    EXPECT_EQ(ReadFileBytes(path), "  \n") << "the replay writes into the recorded file";
    EXPECT_EQ(ListFolder(folder_), std::vector<std::string>{file});
    std::remove(path.c_str());
  }
}

TEST_F(SaveAsExport, CancellingLeavesEverythingAsItWas) {
  std::string earlier = JoinPath(folder_, "photo.txt");
  WriteFileBytes(earlier, "earlier\n");
  SaveDialogUser user;
  user.cancel = true;
  SaveDialogSeen seen;
  Outcome o = ExportThroughDialog(folder_, user, &seen);
  EXPECT_EQ(seen.shown, 1);
  EXPECT_EQ(o.result, kResultCancelled);
  EXPECT_EQ(ReadFileBytes(earlier), "earlier\n");
  EXPECT_EQ(ListFolder(folder_), std::vector<std::string>{"photo.txt"});
  EXPECT_TRUE(o.rectKept);
  EXPECT_EQ(o.dirty, 1);
  EXPECT_FALSE(o.pathRecorded);
  EXPECT_TRUE(o.recorded.empty()) << "finish records an empty descriptor";
}

TEST_F(SaveAsExport, AnExistingFileIsReplacedOnlyWhenTheUserAgrees) {
  std::string earlier = JoinPath(folder_, "photo.txt");
  for (bool agree : {false, true}) {
    WriteFileBytes(earlier, "earlier\n");
    SaveDialogUser user;
    user.replace = agree;
    SaveDialogSeen seen;
    Outcome o = ExportThroughDialog(folder_, user, &seen);
    EXPECT_TRUE(seen.askedToReplace) << agree;
    EXPECT_EQ(o.result, agree ? 0 : kResultCancelled);
    EXPECT_EQ(ReadFileBytes(earlier), agree ? "@@@\n@@@\n" : "earlier\n");
    EXPECT_EQ(ListFolder(folder_), std::vector<std::string>{"photo.txt"});
  }
}

TEST_F(SaveAsExport, ANameInAMissingFolderIsNotAccepted) {
  SaveDialogUser user;
  user.typeName = std::string("missing") + PathSeparator() + "x";
  SaveDialogSeen seen;
  Outcome o = ExportThroughDialog(folder_, user, &seen);
  // The dialog says so and asks again; the user then gives up.
  EXPECT_GE(seen.shown, 1);
  EXPECT_NE(seen.transcript, "");
  EXPECT_EQ(o.result, kResultCancelled);
  EXPECT_TRUE(ListFolder(folder_).empty());
}
