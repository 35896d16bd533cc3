// Choosing the output path without the dialog: the splitting rule, the
// composition from the document name or the recorded path, and paths at the
// length limit of the `filename` field.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output/OutputPath.h"
#include "output/PathSplit.h"
#include "support/TestHost.h"

namespace {

struct Selection {
  TestHost host;
  PluginGlobals globals{};

  Selection() {
    globals.result = &host.resultCell;
    globals.stuff = &host.record;
    globals.queryForParameters = false;
    globals.sameTitle = 7;  // must survive a selection without the dialog
  }

  void Record(const std::string& bytes) {
    globals.pathHandle = host.MakeHandle(bytes.data(), static_cast<int32_t>(bytes.size()));
  }

  std::string Filename() const {
    const char* chars = reinterpret_cast<const char*>(host.record.filename);
    return std::string(chars, strnlen(chars, sizeof host.record.filename));
  }
};

std::string Pieces(const std::string& path) {
  PathSplit s = SplitPath(path.data(), path.size());
  return path.substr(0, s.directoryStart) + "|" +
         path.substr(s.directoryStart, s.baseStart - s.directoryStart) + "|" +
         path.substr(s.baseStart, s.extensionStart - s.baseStart) + "|" + path.substr(s.extensionStart);
}

}  // namespace

TEST(PathSplit, FollowsTheRuntimeRule) {
  EXPECT_EQ(Pieces("D:\\out\\custom.dat"), "D:|\\out\\|custom|.dat");
  EXPECT_EQ(Pieces("a.b.c"), "|" "|a.b|.c");
  EXPECT_EQ(Pieces("D:\\old.files\\report"), "D:|\\old.files\\|report|");
  EXPECT_EQ(Pieces("/home/u/pic.tar.gz"), "|/home/u/|pic.tar|.gz");
  EXPECT_EQ(Pieces("mixed/sep\\name.x"), "|mixed/sep\\|name|.x");
  EXPECT_EQ(Pieces("C:photo.psd"), "C:||photo|.psd");
  EXPECT_EQ(Pieces("C:"), "C:|||");
  EXPECT_EQ(Pieces(".profile"), "|||.profile");
  EXPECT_EQ(Pieces("dir/"), "|dir/||");
  EXPECT_EQ(Pieces(""), "|||");
  EXPECT_EQ(Pieces("x:"), "x:|||");
  EXPECT_EQ(Pieces("a"), "|" "|a|");
}

TEST(OutputPath, IsComposedFromTheDocumentOrTheRecordedPath) {
  const struct {
    const char* document;
    bool recorded;
    std::string recordedBytes;
    const char* output;
  } cases[] = {
      {"photo.psd", false, "", "photo.txt"},
      {"D:\\in\\photo.psd", false, "", "D:\\in\\photo.txt"},
      {"/in/photo.psd", false, "", "/in/photo.txt"},
      {"a.b.c", false, "", "a.b.txt"},
      {"D:\\old.files\\report", false, "", "D:\\old.files\\report.txt"},
      {"", false, "", ".txt"},
      {"photo.psd", true, "D:\\out\\", "D:\\out\\photo.txt"},
      {"photo.psd", true, "/out/", "/out/photo.txt"},
      {"photo.psd", true, "D:\\out\\custom.dat", "D:\\out\\custom.txt"},
      {"D:\\in\\photo.psd", true, "/out/", "/out/photo.txt"},
      // As this plug-in records them: the path and two NULs.
      {"photo.psd", true, std::string("D:\\out\\\0\0", 9), "D:\\out\\photo.txt"},
      {"photo.psd", true, std::string("/out/custom.txt\0\0", 17), "/out/custom.txt"},
      {"photo.psd", true, std::string("\0\0", 2), ".txt"},
      {"photo.psd", true, "", ".txt"},
  };
  for (const auto& c : cases) {
    Selection s;
    s.host.SetDocumentName(c.document);
    size_t handlesBefore = s.host.LiveHandleCount();
    if (c.recorded) s.Record(c.recordedBytes);
    EXPECT_TRUE(SelectOutputPath(&s.globals)) << c.document;
    EXPECT_EQ(s.Filename(), c.output) << c.document << " / " << c.recordedBytes;
    EXPECT_EQ(s.host.resultCell, 0);
    EXPECT_EQ(s.globals.pathHandle, nullptr);
    EXPECT_EQ(s.host.LiveHandleCount(), handlesBefore) << "the recorded handle is released";
    EXPECT_EQ(s.globals.sameTitle, 7);
  }
}

TEST(OutputPath, ADocumentNameEndsAtItsFirstNul) {
  Selection s;
  s.host.SetDocumentName(std::string("ph\0oto.psd", 10));
  EXPECT_TRUE(SelectOutputPath(&s.globals));
  EXPECT_EQ(s.Filename(), "ph.txt");
}

TEST(OutputPath, PathsAtTheLimitFitTheFieldAndLongerOnesAreRefused) {
  {
    // A document name of 255 characters: the longest the host can pass.
    Selection s;
    std::string name = std::string(251, 'a') + ".psd";
    s.host.SetDocumentName(name);
    EXPECT_TRUE(SelectOutputPath(&s.globals));
    EXPECT_EQ(s.Filename(), std::string(251, 'a') + ".txt");
    EXPECT_EQ(s.host.record.filename[255], 0);
  }
  {
    Selection s;
    s.host.SetDocumentName(std::string(255, 'b'));
    EXPECT_FALSE(SelectOutputPath(&s.globals)) << "259 characters do not fit";
    EXPECT_EQ(s.host.resultCell, kResultFileOpenError);
  }
  {
    // A recorded folder and a document name that together pass 255: refused,
    // not cut to another name.
    Selection s;
    s.host.SetDocumentName(std::string(60, 'c') + ".psd");
    size_t handlesBefore = s.host.LiveHandleCount();
    s.Record("/" + std::string(198, 'f') + "/");
    s.host.resultCell = 0;
    EXPECT_FALSE(SelectOutputPath(&s.globals));
    EXPECT_EQ(s.host.resultCell, kResultFileOpenError);
    EXPECT_EQ(s.globals.pathHandle, nullptr);
    EXPECT_EQ(s.host.LiveHandleCount(), handlesBefore);
  }
  {
    // Recorded paths of 254 and 255 characters are used whole.
    for (size_t length : {size_t{254}, size_t{255}}) {
      Selection s;
      std::string recorded = "/" + std::string(length - 9, 'd') + "/out.txt";
      ASSERT_EQ(recorded.size(), length);
      s.Record(recorded + std::string(2, '\0'));
      EXPECT_TRUE(SelectOutputPath(&s.globals));
      EXPECT_EQ(s.Filename(), recorded);
    }
  }
  {
    // A longer recorded path is refused even when the dialog would be shown:
    // no cut path is offered.
    Selection s;
    s.Record("/" + std::string(300, 'e') + "/out.txt");
    s.globals.queryForParameters = true;
    EXPECT_FALSE(SelectOutputPath(&s.globals));
    EXPECT_EQ(s.host.resultCell, kResultFileOpenError);
    EXPECT_EQ(s.globals.pathHandle, nullptr);
  }
}
