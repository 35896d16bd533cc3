// The Save As dialog's stand-in on the controlling terminal, answered through
// a pseudo-terminal, in what the exports through it do not show: how answers
// become paths, what it refuses, and that without a terminal it cancels.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/SaveDialog.h"
#include "support/SaveDialogDriver.h"
#include "support/TestHost.h"

namespace {

const char kFilter[] = "Glyphweave (*.txt)\0*.txt\0";
const uint32_t kFlags = kSaveDialogLongNames | kSaveDialogPathMustExist | kSaveDialogHideReadOnly |
                        kSaveDialogOverwritePrompt;

// Shows the dialog with a proposal in a folder; gives "answer|path|title".
std::string AskFor(const std::string& folder, const std::string& proposal, uint32_t fileSize = 255) {
  char file[256] = {0};
  char title[256] = {0};
  std::strncpy(file, proposal.c_str(), sizeof file - 1);
  SaveDialogRequest request{};
  request.filter = kFilter;
  request.file = file;
  request.fileSize = fileSize;
  request.fileTitle = title;
  request.fileTitleSize = 255;
  request.initialFolder = folder.c_str();
  request.title = "Glyphweave";
  request.flags = kFlags;
  request.defaultExtension = "txt";
  SaveDialogAnswer answer = PlatformSaveDialog(&request);
  return std::string(answer == kSaveDialogChosen ? "chosen" : "cancelled") + "|" + file + "|" + title;
}

struct Folder {
  std::string path = MakeTempFolder();
  ~Folder() { RemoveTree(path); }
};

std::string Answer(const std::string& folder, const SaveDialogUser& user, SaveDialogSeen* seen,
                   const std::string& proposal = "photo", uint32_t fileSize = 255) {
  return RunWithSaveDialog(user, [&]() { return AskFor(folder, proposal, fileSize); }, seen);
}

}  // namespace

TEST(TerminalSaveDialog, TurnsAnswersIntoFullPaths) {
  Folder f;
  MakeFolder(f.path + "/sub");
  const struct {
    std::string typed;
    std::string path;
  } cases[] = {
      {"notes", f.path + "/notes.txt"},
      {"notes.dat", f.path + "/notes.dat"},
      {"sub/inner", f.path + "/sub/inner.txt"},
      {f.path + "/abs", f.path + "/abs.txt"},
  };
  for (const auto& c : cases) {
    SaveDialogUser user;
    user.typeName = c.typed;
    SaveDialogSeen seen;
    std::string title = c.path.substr(c.path.rfind('/') + 1);
    EXPECT_EQ(Answer(f.path, user, &seen), "chosen|" + c.path + "|" + title) << c.typed;
  }

  // A relative initial folder is taken from the current one.
  SaveDialogSeen seen;
  std::string answer = RunWithSaveDialog(SaveDialogUser{}, [&]() {
    if (chdir(f.path.c_str()) != 0) return std::string("no chdir");
    return AskFor("sub/", "p");
  }, &seen);
  EXPECT_EQ(answer, "chosen|" + f.path + "/sub/p.txt|p.txt");

  // A folder's name opens that folder and asks again.
  SaveDialogUser user;
  user.typeName = "sub";
  EXPECT_EQ(Answer(f.path, user, &seen), "cancelled|photo|");
  EXPECT_EQ(seen.shown, 2);
  EXPECT_NE(seen.transcript.find("Folder: " + f.path + "/sub\n"), std::string::npos);
}

TEST(TerminalSaveDialog, InsistsOnAnExistingFolderAndAFittingName) {
  Folder f;
  SaveDialogUser user;
  user.typeName = "missing/x";
  SaveDialogSeen seen;
  EXPECT_EQ(Answer(f.path, user, &seen), "cancelled|photo|");
  EXPECT_EQ(seen.shown, 2) << "asked again";
  EXPECT_NE(seen.transcript.find("does not exist"), std::string::npos);

  user.typeName = "a-name-that-is-long";
  EXPECT_EQ(Answer(f.path, user, &seen, "photo", static_cast<uint32_t>(f.path.size() + 10)),
            "cancelled|photo|");
  EXPECT_NE(seen.transcript.find("too long"), std::string::npos);
  EXPECT_TRUE(ListFolder(f.path).empty());
}

TEST(TerminalSaveDialog, WithoutATerminalItCancelsAtOnce) {
  Folder f;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t child = fork();
  if (child == 0) {
    // A new session has no controlling terminal.
    setsid();
    std::string answer = AskFor(f.path, "photo");
    ssize_t n = write(report[1], answer.data(), answer.size());
    _exit(n == static_cast<ssize_t>(answer.size()) ? 0 : 1);
  }
  close(report[1]);
  std::string answer;
  char buffer[512];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(answer, "cancelled|photo|");
}
