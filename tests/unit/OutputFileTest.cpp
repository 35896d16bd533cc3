// The output file: written beside the target and put in its place only on
// success; the path left for recording.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output/OutputFile.h"
#include "platform/FileWrite.h"
#include "support/TestHost.h"

namespace {

struct FileStep {
  TestHost host;
  PluginGlobals globals{};
  std::string folder = MakeTempFolder();

  FileStep() {
    globals.result = &host.resultCell;
    globals.stuff = &host.record;
    host.record.dirty = 1;
  }
  ~FileStep() { RemoveTree(folder); }

  void SetOutputPath(const std::string& path) {
    std::memset(host.record.filename, 0, sizeof host.record.filename);
    std::memcpy(host.record.filename, path.data(), path.size());
  }

  std::string Filename() const {
    const char* chars = reinterpret_cast<const char*>(host.record.filename);
    return std::string(chars, strnlen(chars, sizeof host.record.filename));
  }

  bool Write(const std::string& text) {
    int32_t written = 0;
    return PlatformWriteFile(globals.fileRef, text.data(), static_cast<int32_t>(text.size()), &written) &&
           written == static_cast<int32_t>(text.size());
  }
};

bool IsTemporaryName(const std::string& name) {
  return name.size() > 4 && name.find("~gw") != std::string::npos &&
         name.compare(name.size() - 4, 4, ".tmp") == 0;
}

}  // namespace

TEST(OutputFile, ASuccessfulExportReplacesTheTargetOnlyAtTheClose) {
  FileStep step;
  std::string target = JoinPath(step.folder, "photo.txt");
  WriteFileBytes(target, "earlier\n");
  step.SetOutputPath(target);

  ASSERT_TRUE(CreateOutputFile(&step.globals));
  EXPECT_NE(step.globals.fileRef, 0);
  std::vector<std::string> during = ListFolder(step.folder);
  ASSERT_EQ(during.size(), 2u);
  EXPECT_TRUE(IsTemporaryName(during[0]) || IsTemporaryName(during[1]));
  EXPECT_TRUE(step.Write("@ @\n"));
  EXPECT_TRUE(step.Write("   \n"));
  EXPECT_EQ(ReadFileBytes(target), "earlier\n") << "untouched while the export runs";

  EXPECT_TRUE(CloseOutputFile(&step.globals));
  EXPECT_EQ(step.host.resultCell, 0);
  EXPECT_EQ(ReadFileBytes(target), "@ @\n   \n");
  EXPECT_EQ(ListFolder(step.folder), std::vector<std::string>{"photo.txt"});
  EXPECT_EQ(step.host.record.dirty, 0);
  EXPECT_EQ(step.Filename(), target);
  EXPECT_EQ(step.host.HandleBytes(step.globals.pathHandle), target + std::string(2, '\0'));
}

TEST(OutputFile, AReplaceThatFailsAtTheCloseIsAnErrorAndLeavesNoFile) {
  FileStep step;
  std::string target = JoinPath(step.folder, "photo.txt");
  step.SetOutputPath(target);
  ASSERT_TRUE(CreateOutputFile(&step.globals));
  EXPECT_TRUE(step.Write("text\n"));
  // Something else takes the name while the export runs.
  MakeFolder(target);

  EXPECT_TRUE(CloseOutputFile(&step.globals));
  EXPECT_EQ(step.host.resultCell, kResultFileOpenError);
  EXPECT_EQ(ListFolder(step.folder), std::vector<std::string>{"photo.txt"});
  EXPECT_TRUE(ListFolder(target).empty());
}

TEST(OutputFile, TheRecordedPathIsTheWholePathOrItsFolder) {
  const struct {
    const char* output;
    HostBoolean sameTitle;
    std::string recorded;
  } cases[] = {
      {"D:\\out\\photo.txt", 1, "D:\\out\\"},
      {"D:\\out\\custom.txt", 0, "D:\\out\\custom.txt"},
      {"C:\\photo.txt", 1, "C:\\"},
      {"/home/u/photo.txt", 1, "/home/u/"},
      {"photo.txt", 1, ""},
  };
  for (const auto& c : cases) {
    FileStep step;
    step.SetOutputPath(c.output);
    step.globals.sameTitle = c.sameTitle;
    step.host.resultCell = kResultCancelled;  // no file to commit
    EXPECT_TRUE(CloseOutputFile(&step.globals));
    std::string bytes = step.host.HandleBytes(step.globals.pathHandle);
    EXPECT_EQ(bytes, c.recorded + std::string(2, '\0')) << c.output;
    EXPECT_EQ(step.Filename(), c.recorded);
  }

  // The longest output path gives a handle of 257 bytes.
  FileStep longest;
  std::string path = "/" + std::string(250, 'p') + ".txt";
  longest.SetOutputPath(path);
  longest.host.resultCell = kResultCancelled;
  CloseOutputFile(&longest.globals);
  EXPECT_EQ(longest.host.HandleBytes(longest.globals.pathHandle).size(), 257u);
}

TEST(OutputFile, NoHandleForTheRecordedPathIsNoError) {
  FileStep step;
  std::string target = JoinPath(step.folder, "photo.txt");
  step.SetOutputPath(target);
  ASSERT_TRUE(CreateOutputFile(&step.globals));
  EXPECT_TRUE(step.Write("x\n"));
  step.host.handles.failNew = true;
  EXPECT_TRUE(CloseOutputFile(&step.globals));
  EXPECT_EQ(step.host.resultCell, 0);
  EXPECT_EQ(step.globals.pathHandle, nullptr);
  EXPECT_EQ(ReadFileBytes(target), "x\n");
  EXPECT_EQ(step.host.record.dirty, 0);
}

TEST(OutputFile, LinesBeyondWhatIsGatheredArriveWholeAndInOrder) {
  // Short lines, a line larger than the gathering buffer between them, and
  // more short lines: into a new file and over an earlier one.
  for (bool replacing : {false, true}) {
    FileStep step;
    std::string target = JoinPath(step.folder, "photo.txt");
    if (replacing) WriteFileBytes(target, "earlier\n");
    step.SetOutputPath(target);
    ASSERT_TRUE(CreateOutputFile(&step.globals));
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
      std::string line = i == 1500 ? std::string(1200000, '#') : std::string(static_cast<size_t>(i % 700), 'a' + i % 26);
      line += '\n';
      ASSERT_TRUE(step.Write(line)) << i;
      expected += line;
    }
    EXPECT_TRUE(CloseOutputFile(&step.globals));
    EXPECT_EQ(step.host.resultCell, 0);
    EXPECT_TRUE(ReadFileBytes(target) == expected) << (replacing ? "replacing" : "new file");
    EXPECT_EQ(ListFolder(step.folder), std::vector<std::string>{"photo.txt"});
  }
}
