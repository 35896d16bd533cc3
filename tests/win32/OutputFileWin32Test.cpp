// The output file under Windows rules: files held open by another program,
// read-only files, the temporary file's exclusive sharing, a write that
// fails, and the common dialog's record.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/SaveDialogFill.h"
#include "support/TestHost.h"

namespace {

struct Export {
  TestHost host;
  std::string folder = MakeTempFolder();
  std::string target = JoinPath(folder, "photo.txt");

  Export() {
    host.SetImage(8, 4, 1, std::vector<uint8_t>(32, 0));
    host.SetDocumentName(JoinPath(folder, "photo.psd"));
    WriteFileBytes(target, "earlier\n");
  }
  ~Export() { RemoveTree(folder); }

  bool EarlierFileOnly() const {
    return ReadFileBytes(target) == "earlier\n" && ListFolder(folder) == std::vector<std::string>{"photo.txt"};
  }

  std::string TemporaryFile() const {
    for (const std::string& name : ListFolder(folder)) {
      if (name.rfind("~gw", 0) == 0) return JoinPath(folder, name);
    }
    return std::string();
  }
};

HANDLE HoldOpen(const std::string& path, DWORD sharing) {
  return CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

TEST(OutputFileWin32, AFileHeldOpenByAnotherProgramIsNotReplaced) {
  // However the other program shares it, the file cannot be replaced while
  // it is open: found before rendering.
  for (DWORD sharing : {DWORD{0}, DWORD{FILE_SHARE_READ},
                        DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
    Export e;
    HANDLE other = HoldOpen(e.target, sharing);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(e.host.Export(), kResultFileOpenError) << sharing;
    EXPECT_TRUE(e.host.progress.empty()) << sharing;
    CloseHandle(other);
    EXPECT_TRUE(e.EarlierFileOnly()) << sharing;
  }
}

TEST(OutputFileWin32, AReadOnlyFileIsNotReplaced) {
  Export e;
  ASSERT_TRUE(SetFileAttributesA(e.target.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(e.host.Export(), kResultFileOpenError);
  EXPECT_TRUE(e.host.progress.empty());
  EXPECT_TRUE(e.EarlierFileOnly());
  SetFileAttributesA(e.target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(OutputFileWin32, TheTemporaryFileIsOpenToNobodyElse) {
  Export e;
  DWORD error = 0;
  std::string temporary;
  e.host.onProgress = [&](int32_t row) {
    if (row != 1) return;
    temporary = e.TemporaryFile();
    HANDLE reader = HoldOpen(temporary, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    error = reader == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  };
  EXPECT_EQ(e.host.Export(), 0);
  EXPECT_NE(temporary, "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ListFolder(e.folder), std::vector<std::string>{"photo.txt"});
}

TEST(OutputFileWin32, AFailingWriteIsAWriteErrorAndLeavesNoFile) {
  // The file handle loses its right to write in the middle of the export, as
  // the plug-in holds it: every further write of the renderer fails in the
  // system. The lines are gathered into large writes, so the image is larger
  // than one of them (2 MB of text).
  Export e;
  e.host.SetImage(2000, 1000, 1, std::vector<uint8_t>(2000 * 1000, 0));
  e.host.onProgress = [&](int32_t row) {
    if (row != 3) return;
    PluginGlobals* g = e.host.Globals();
    HANDLE readOnly = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(g->fileRef)),
                                GetCurrentProcess(), &readOnly, FILE_READ_ATTRIBUTES, FALSE,
                                DUPLICATE_CLOSE_SOURCE));
    g->fileRef = static_cast<PlatformFile>(reinterpret_cast<intptr_t>(readOnly));
  };
  EXPECT_EQ(e.host.Export(), kResultWriteError);
  EXPECT_LT(e.host.progress.size(), 2000u) << "the first write that fails ends the export";
  EXPECT_TRUE(e.EarlierFileOnly());
}

TEST(OutputFileWin32, AFileLockedDuringTheExportIsLeftAsItWas) {
  Export e;
  HANDLE other = INVALID_HANDLE_VALUE;
  e.host.onProgress = [&](int32_t row) {
    if (row == 2) other = HoldOpen(e.target, FILE_SHARE_READ);
  };
  EXPECT_EQ(e.host.Export(), kResultFileOpenError);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  CloseHandle(other);
  EXPECT_TRUE(e.EarlierFileOnly());
}

TEST(SaveDialogWin32, TheCommonDialogGetsTheRequestAsTheVersion4Record) {
  char file[256] = "photo";
  char title[256] = {0};
  SaveDialogRequest request{};
  request.owner = reinterpret_cast<PlatformWindow>(static_cast<intptr_t>(0x1234));
  request.instance = reinterpret_cast<PlatformInstance>(static_cast<intptr_t>(0x5678));
  request.filter = "Glyphweave (*.txt)\0*.txt\0";
  request.file = file;
  request.fileSize = 255;
  request.fileTitle = title;
  request.fileTitleSize = 255;
  request.initialFolder = "C:\\out\\";
  request.title = "Glyphweave";
  request.flags = kSaveDialogLongNames | kSaveDialogPathMustExist | kSaveDialogHideReadOnly |
                  kSaveDialogOverwritePrompt;
  request.defaultExtension = "txt";

  OPENFILENAMEA dialog;
  std::memset(&dialog, 0xCC, sizeof dialog);
  FillOpenFileName(&request, &dialog);
  EXPECT_EQ(dialog.lStructSize, 76u);
  EXPECT_EQ(dialog.hwndOwner, reinterpret_cast<HWND>(0x1234));
  EXPECT_EQ(dialog.hInstance, reinterpret_cast<HINSTANCE>(0x5678));
  EXPECT_EQ(dialog.lpstrFilter, request.filter);
  EXPECT_EQ(dialog.lpstrCustomFilter, nullptr);
  EXPECT_EQ(dialog.nMaxCustFilter, 0u);
  EXPECT_EQ(dialog.nFilterIndex, 0u);
  EXPECT_EQ(dialog.lpstrFile, file);
  EXPECT_EQ(dialog.nMaxFile, 255u);
  EXPECT_EQ(dialog.lpstrFileTitle, title);
  EXPECT_EQ(dialog.nMaxFileTitle, 255u);
  EXPECT_EQ(dialog.lpstrInitialDir, request.initialFolder);
  EXPECT_EQ(dialog.lpstrTitle, request.title);
  EXPECT_EQ(dialog.Flags, 0x200806u);
  EXPECT_EQ(dialog.nFileOffset, 0);
  EXPECT_EQ(dialog.nFileExtension, 0);
  EXPECT_EQ(dialog.lpstrDefExt, request.defaultExtension);
  EXPECT_EQ(dialog.lCustData, 0);
  EXPECT_EQ(dialog.lpfnHook, nullptr);
  EXPECT_EQ(dialog.lpTemplateName, nullptr);
}
