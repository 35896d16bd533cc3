// Exports onto file systems that refuse: a full disk and a read-only one,
// made as small tmpfs mounts (the tests run as root; where mounting is
// refused the full disk is /dev/full behind the output file instead).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestHost.h"

namespace {

struct TinyMount {
  std::string path = MakeTempFolder();
  bool mounted = false;
  std::string refusal;

  explicit TinyMount(const char* options) {
    mounted = mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    if (!mounted) refusal = std::strerror(errno);
  }
  bool MakeReadOnly() {
    return mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                 nullptr) == 0;
  }
  ~TinyMount() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
    RemoveTree(path);
  }
};

bool IsEmpty(const Rect& r) { return r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0; }

// An export of a grey image (100 kB of text by default) into `folder`.
void SetUpExport(TestHost& host, const std::string& folder, int rows = 200, int columns = 500) {
  host.SetImage(rows, columns, 1, std::vector<uint8_t>(static_cast<size_t>(rows) * columns, 128));
  host.SetDocumentName(JoinPath(folder, "photo.psd"));
  host.record.dirty = 1;
}

}  // namespace

TEST(FileSystemLimits, AFullDiskIsAWriteErrorAndKeepsTheEarlierFile) {
  TinyMount disk("size=64k,mode=0755");
  TestHost host;
  // 2 MB of text: more than the plug-in gathers before its first write.
  SetUpExport(host, disk.path, 2000, 1000);
  std::string target = JoinPath(disk.path, "photo.txt");
  WriteFileBytes(target, "earlier\n");

  if (!disk.mounted) {
    std::printf("mounting a tmpfs was refused (%s): writing to /dev/full instead\n", disk.refusal.c_str());
    host.onProgress = [&host](int32_t row) {
      if (row != 2) return;
      int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
      ASSERT_GE(full, 0);
      dup2(full, host.Globals()->fileRef);
      close(full);
    };
  }

  errno = 0;
  EXPECT_EQ(host.Export(), kResultWriteError);
  EXPECT_EQ(errno, ENOSPC) << "the system's reason survives the clean-up";
  EXPECT_EQ(ReadFileBytes(target), "earlier\n");
  EXPECT_EQ(ListFolder(disk.path), std::vector<std::string>{"photo.txt"}) << "no temporary file left";
  EXPECT_TRUE(IsEmpty(host.record.theRect));
  EXPECT_EQ(host.record.dirty, 0);
  if (disk.mounted) {
    EXPECT_LT(host.progress.size(), 2000u) << "the disk filled before the end";
  }
}

TEST(FileSystemLimits, AReadOnlyFolderIsRefusedBeforeRendering) {
  TinyMount disk("size=64k,mode=0755");
  if (!disk.mounted) GTEST_SKIP() << "mounting a tmpfs was refused: " << disk.refusal;
  std::string target = JoinPath(disk.path, "photo.txt");
  WriteFileBytes(target, "earlier\n");
  ASSERT_TRUE(disk.MakeReadOnly());

  for (bool withEarlierFile : {true, false}) {
    TestHost host;
    SetUpExport(host, disk.path);
    if (!withEarlierFile) host.SetDocumentName(JoinPath(disk.path, "new.psd"));
    EXPECT_EQ(host.Export(), kResultFileOpenError);
    EXPECT_TRUE(host.progress.empty()) << "found before any row is rendered";
    EXPECT_EQ(ReadFileBytes(target), "earlier\n");
    EXPECT_EQ(ListFolder(disk.path), std::vector<std::string>{"photo.txt"});
  }
}

TEST(FileSystemLimits, AHostWithoutStandardInputStillGetsItsFile) {
  // With descriptor 0 closed the output file would be opened as 0, which the
  // plug-in reads as "no file".
  std::string folder = MakeTempFolder();
  TestHost host;
  host.SetImage(2, 2, 1, std::vector<uint8_t>(4, 0));
  host.SetDocumentName(JoinPath(folder, "photo.psd"));
  int savedInput = dup(0);
  ASSERT_GE(savedInput, 0);
  close(0);
  int16_t result = host.Export();
  dup2(savedInput, 0);
  close(savedInput);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFileBytes(JoinPath(folder, "photo.txt")), "@@\n@@\n");
  EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"photo.txt"});
  RemoveTree(folder);
}
