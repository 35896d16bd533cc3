// The host's output writer: what it refuses before making anything, and the
// guarantees of its files (streamed through a temporary file of the plug-in's
// pattern, whole or not at all, the earlier file's mode kept).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/hosting/OutputWriter.h"

namespace {

namespace fs = std::filesystem;

struct Folder {
  std::string path;
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "gw-writer-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~Folder() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool IsTemporaryName(const std::string& name) {
  return name.size() == 14 && name.compare(0, 4, ".~gw") == 0 && name.compare(10, 4, ".tmp") == 0;
}

}  // namespace

TEST(OutputWriter, RefusesWhatMinusOWouldAndMakesNothing) {
  Folder folder;
  ASSERT_FALSE(folder.path.empty());
  ASSERT_TRUE(fs::create_directory(folder / "sub"));
  Write(folder / "read-only.json", "keep\n");
  ASSERT_EQ(::chmod((folder / "read-only.json").c_str(), 0444), 0);
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0666), 0);
  ASSERT_EQ(::symlink("nowhere.json", (folder / "dangling").c_str()), 0);
  // A regular file of this process's, reached through /proc: by name and
  // through a symbolic link in an ordinary folder.
  Write(folder / "mine.txt", "mine\n");
  int mine = ::open((folder / "mine.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(mine, 0);
  std::string throughProc = "/proc/self/fd/" + std::to_string(mine);
  ASSERT_EQ(::symlink(throughProc.c_str(), (folder / "to-proc").c_str()), 0);
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case refused[] = {
      {folder / "sub", "is a folder"},
      {folder / "read-only.json", "read-only"},
      {folder / "fifo", "named pipe"},
      {"/dev/null", "is a device"},
      {folder / "dangling", "does not exist"},
      {folder / "missing/step.json", "does not exist"},
      {throughProc, "/dev or /proc"},
      {folder / "to-proc", "/dev or /proc"},
  };
  std::vector<std::string> before = folder.List();
  for (const Case& c : refused) {
    std::string error;
    EXPECT_FALSE(CheckOutputTarget(c.path, &error)) << c.path;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    OutputWriter* writer = nullptr;
    error.clear();
    EXPECT_FALSE(OpenOutputWriter(c.path, &writer, &error)) << c.path;
    EXPECT_EQ(writer, nullptr) << c.path;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  ::close(mine);
  EXPECT_EQ(folder.List(), before);
  EXPECT_EQ(Read(folder / "read-only.json"), "keep\n");
  EXPECT_EQ(Read(folder / "mine.txt"), "mine\n");

  for (const std::string& fine : {folder / "new.json", folder / "mine.txt"}) {
    std::string error;
    EXPECT_TRUE(CheckOutputTarget(fine, &error)) << fine << ": " << error;
  }
}

TEST(OutputWriter, AFileIsReplacedWholeWithItsModeOrNotAtAll) {
  // Written in pieces of many sizes, several times the gathering buffer; the
  // earlier file stands untouched until the commit, and after an abandon.
  for (bool commit : {true, false}) {
    Folder folder;
    std::string path = folder / "page.html";
    Write(path, "earlier\n");
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    OutputWriter* writer = nullptr;
    std::string error;
    ASSERT_TRUE(OpenOutputWriter(path, &writer, &error)) << error;
    std::string expected;
    for (size_t length = 1; expected.size() < (size_t{3} << 20); length = length * 7 % 100003 + 1) {
      std::string piece(length, static_cast<char>('a' + expected.size() % 26));
      ASSERT_TRUE(WriteOutput(writer, piece.data(), piece.size(), &error)) << error;
      expected += piece;
    }
    std::vector<std::string> during = folder.List();
    ASSERT_EQ(during.size(), 2u);
    EXPECT_TRUE(IsTemporaryName(during[0])) << during[0];
    EXPECT_EQ(Read(path), "earlier\n");
    if (commit) {
      ASSERT_TRUE(CommitOutput(writer, &error)) << error;
      EXPECT_TRUE(Read(path) == expected) << "the new content, whole";
    } else {
      AbandonOutput(writer);
      EXPECT_EQ(Read(path), "earlier\n");
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(folder.List(), std::vector<std::string>{"page.html"});
  }
}

TEST(OutputWriter, ACommitThatCannotReplaceSaysSoAndLeavesNothing) {
  Folder folder;
  std::string path = folder / "step.json";
  OutputWriter* writer = nullptr;
  std::string error;
  ASSERT_TRUE(OpenOutputWriter(path, &writer, &error)) << error;
  ASSERT_TRUE(WriteOutput(writer, "{}\n", 3, &error)) << error;
  // Something that is not to be replaced takes the name meanwhile.
  ASSERT_TRUE(fs::create_directory(path));
  EXPECT_FALSE(CommitOutput(writer, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(folder.List(), std::vector<std::string>{"step.json"});
}
