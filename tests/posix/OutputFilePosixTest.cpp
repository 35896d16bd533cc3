// The output file on POSIX file systems: when it is synced, whose
// permissions it takes, which targets it refuses or writes through, how its
// lines reach the system, and the clean-up of temporary files that killed
// exports left behind. The test program is linked with --wrap for the calls
// recorded below (gw_core is a static library, so its calls come here first).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/OutputFile.h"
#include "platform/WriteGather.h"
#include "support/TestHost.h"

extern "C" {
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_rename(const char* from, const char* to);
int __real_renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
ssize_t __real_write(int fd, const void* data, size_t count);
}

namespace {

std::atomic<bool> gRecording{false};
std::mutex gCallsLock;
std::vector<std::string> gCalls;
std::atomic<int> gFileWrites{0};

void Record(const char* call, int fd) {
  if (!gRecording) return;
  struct stat st {};
  std::string entry = std::string(call) + (fd < 0 ? "" : fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? " folder" : " file");
  std::lock_guard<std::mutex> hold(gCallsLock);
  gCalls.push_back(entry);
}

void StartRecording() {
  gCalls.clear();
  gFileWrites = 0;
  gRecording = true;
}

}  // namespace

extern "C" {
int __wrap_fsync(int fd) {
  Record("fsync", fd);
  return __real_fsync(fd);
}
int __wrap_fdatasync(int fd) {
  Record("fdatasync", fd);
  return __real_fdatasync(fd);
}
int __wrap_rename(const char* from, const char* to) {
  Record("rename", -1);
  return __real_rename(from, to);
}
int __wrap_renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  Record("rename", -1);
  return __real_renameat2(fromFolder, from, toFolder, to, flags);
}
ssize_t __wrap_write(int fd, const void* data, size_t count) {
  struct stat st {};
  if (gRecording && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ++gFileWrites;
  return __real_write(fd, data, count);
}
}

namespace {

struct Folder {
  std::string path = MakeTempFolder();
  ~Folder() { RemoveTree(path); }
  std::string operator/(const std::string& name) const { return JoinPath(path, name); }
};

// An export of `rows` lines of `columns` grey samples of 0 ("@") into
// folder/photo.txt.
void SetUpExport(TestHost& host, const std::string& folder, int rows = 2, int columns = 3) {
  host.SetImage(rows, columns, 1, std::vector<uint8_t>(static_cast<size_t>(rows) * columns, 0));
  host.SetDocumentName(JoinPath(folder, "photo.psd"));
}

std::string Lines(int rows, int columns) {
  std::string text;
  for (int r = 0; r < rows; ++r) text += std::string(static_cast<size_t>(columns), '@') + "\n";
  return text;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

void Age(const std::string& path, int seconds) {
  struct timespec times[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}  // namespace

TEST(OutputFilePosix, AReplacedFileIsOnTheDiskBeforeItTakesTheNameAndANewOneIsNotSynced) {
  Folder folder;
  for (bool replacing : {true, false}) {
    TestHost host;
    SetUpExport(host, folder.path);
    unlink((folder / "photo.txt").c_str());
    if (replacing) WriteFileBytes(folder / "photo.txt", "earlier\n");
    StartRecording();
    EXPECT_EQ(host.Export(), 0);
    gRecording = false;
    std::vector<std::string> expected{"rename"};
    if (replacing) expected.insert(expected.begin(), "fsync file");
    EXPECT_EQ(gCalls, expected) << (replacing ? "replacing" : "new file");
    EXPECT_EQ(ReadFileBytes(folder / "photo.txt"), Lines(2, 3));
  }
}

TEST(OutputFilePosix, LinesAreGatheredIntoLargeWrites) {
  // 3000 lines of 1001 bytes: as few writes as the gathering buffer allows,
  // and still one progress call per line.
  Folder folder;
  TestHost host;
  SetUpExport(host, folder.path, 3000, 1000);
  StartRecording();
  EXPECT_EQ(host.Export(), 0);
  gRecording = false;
  const int linesPerWrite = static_cast<int>(kGatherCapacity / 1001);
  EXPECT_EQ(gFileWrites.load(), (3000 + linesPerWrite - 1) / linesPerWrite);
  EXPECT_EQ(host.progress.size(), 3000u);
  EXPECT_EQ(ReadFileBytes(folder / "photo.txt"), Lines(3000, 1000));
}

TEST(OutputFilePosix, AReplacedFileKeepsItsPermissionsAndOwnerAndANewOneFollowsTheUmask) {
  Folder folder;
  std::string target = folder / "photo.txt";
  WriteFileBytes(target, "private\n");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 4242, 4343), 0);
  }
  {
    TestHost host;
    SetUpExport(host, folder.path);
    EXPECT_EQ(host.Export(), 0);
  }
  struct stat st = StatOf(target);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4343u);
  }
  EXPECT_EQ(ReadFileBytes(target), Lines(2, 3));

  ASSERT_EQ(unlink(target.c_str()), 0);
  mode_t before = umask(027);
  TestHost host;
  SetUpExport(host, folder.path);
  EXPECT_EQ(host.Export(), 0);
  umask(before);
  EXPECT_EQ(StatOf(target).st_mode & 07777, 0640u);
}

TEST(OutputFilePosix, TargetsThatAreNotWritableRegularFilesAreRefusedAndLeftAlone) {
  struct Case {
    const char* what;
    int expectedErrno;
  };
  for (const Case& c : {Case{"fifo", EPERM}, Case{"device", EPERM},
                        Case{"folder", EISDIR}, Case{"read-only", EACCES}, Case{"dangling link", ENOENT}}) {
    Folder folder;
    std::string target = folder / "photo.txt";
    std::string what = c.what;
    if (what == "fifo") {
      ASSERT_EQ(mkfifo(target.c_str(), 0666), 0);
    } else if (what == "device") {
      // The null device's numbers, as root can make it anywhere.
      if (mknod(target.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        std::printf("no device node here (%s)\n", std::strerror(errno));
        continue;
      }
    } else if (what == "folder") {
      ASSERT_TRUE(MakeFolder(target));
    } else if (what == "read-only") {
      WriteFileBytes(target, "keep\n");
      ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    } else {
      ASSERT_EQ(symlink("nowhere.txt", target.c_str()), 0);
    }
    struct stat before = StatOf(target);

    TestHost host;
    SetUpExport(host, folder.path);
    errno = 0;
    EXPECT_EQ(host.Export(), kResultFileOpenError) << what;
    EXPECT_EQ(errno, c.expectedErrno) << what;
    EXPECT_TRUE(host.progress.empty()) << what;
    struct stat after = StatOf(target);
    EXPECT_EQ(after.st_ino, before.st_ino) << what;
    EXPECT_EQ(after.st_mode, before.st_mode) << what;
    EXPECT_EQ(ListFolder(folder.path), std::vector<std::string>{"photo.txt"}) << what;
    if (what == "read-only") {
      EXPECT_EQ(ReadFileBytes(target), "keep\n");
    }
  }
}

TEST(OutputFilePosix, ASymbolicLinkIsWrittenThroughAndAHardLinkIsBroken) {
  Folder folder;
  ASSERT_TRUE(MakeFolder(folder / "out"));
  ASSERT_TRUE(MakeFolder(folder / "real"));
  std::string link = folder / "out/photo.txt";
  std::string real = folder / "real/art.txt";
  WriteFileBytes(real, "earlier\n");
  ASSERT_EQ(symlink("../real/art.txt", link.c_str()), 0);
  ASSERT_EQ(::link(real.c_str(), (folder / "real/other-name.txt").c_str()), 0);

  TestHost host;
  SetUpExport(host, folder / "out");
  EXPECT_EQ(host.Export(), 0);
  EXPECT_TRUE(S_ISLNK(StatOf(link).st_mode)) << "the link stays";
  EXPECT_EQ(ReadFileBytes(real), Lines(2, 3));
  EXPECT_EQ(ListFolder(folder / "out"), std::vector<std::string>{"photo.txt"});
  EXPECT_EQ(ListFolder(folder / "real"), (std::vector<std::string>{"art.txt", "other-name.txt"}));
  // The other name of the replaced file keeps the earlier content, whole.
  EXPECT_EQ(ReadFileBytes(folder / "real/other-name.txt"), "earlier\n");
  EXPECT_EQ(StatOf(real).st_nlink, 1u);
}

TEST(OutputFilePosix, StaleTemporaryFilesOfKilledExportsAreRemovedOncePerFolder) {
  Folder folder;
  const int old = 20 * 60;
  for (const char* name : {".~gw000000.tmp", ".~gw111111.tmp", ".~gw222222.tmp", ".~gw33333.tmp",
                           ".~gw4444444.tmp", ".~gwABCDEF.tmp", "~gw555555.tmp", ".~gw666666.tmp.txt"}) {
    WriteFileBytes(folder / name, "left behind\n");
    if (std::string(name) != ".~gw111111.tmp") Age(folder / name, old);
  }
  ASSERT_TRUE(MakeFolder(folder / ".~gw777777.tmp"));
  Age(folder / ".~gw777777.tmp", old);
  ASSERT_EQ(symlink(".~gw000000.tmp", (folder / ".~gw888888.tmp").c_str()), 0);
  Age(folder / ".~gw888888.tmp", old);
  // A live export holds its file locked.
  int held = open((folder / ".~gw222222.tmp").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  std::vector<std::string> expected = ListFolder(folder.path);
  expected.erase(std::find(expected.begin(), expected.end(), ".~gw000000.tmp"));
  {
    TestHost host;
    SetUpExport(host, folder.path);
    EXPECT_EQ(host.Export(), 0);
  }
  expected.insert(std::lower_bound(expected.begin(), expected.end(), "photo.txt"), "photo.txt");
  EXPECT_EQ(ListFolder(folder.path), expected);
  close(held);

  // The folder has been looked through: the next export does not again.
  WriteFileBytes(folder / ".~gw999999.tmp", "left behind\n");
  Age(folder / ".~gw999999.tmp", old);
  TestHost host;
  SetUpExport(host, folder.path);
  EXPECT_EQ(host.Export(), 0);
  EXPECT_TRUE(FileExists(folder / ".~gw999999.tmp"));
}

TEST(OutputFilePosix, ExportsOnSeveralThreadsEachGetTheirOwnBytes) {
  // Four threads write six files each, every other one over an earlier file:
  // about 1.5 MiB each, in lines of many lengths of the file's own letter.
  Folder folder;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int f = 0; f < 6; ++f) {
        std::string target = folder / ("t" + std::to_string(t * 6 + f) + ".txt");
        if (f % 2 == 1) WriteFileBytes(target, "earlier\n");
        std::string expected;
        char tempPath[kTempPathSize];
        PlatformFile file = PlatformCreateTempFile(target.c_str(), tempPath, sizeof tempPath);
        bool ok = file != 0;
        for (int32_t length = 1; ok && expected.size() < (3u << 19); length = length % 4000 + 997) {
          std::string line(static_cast<size_t>(length), static_cast<char>('a' + t * 6 + f));
          int32_t written = 0;
          ok = PlatformWriteFile(file, line.data(), length, &written) && written == length;
          expected += line;
        }
        ok = ok && PlatformCommitFile(file, tempPath, target.c_str()) == kCommitDone;
        if (!ok || ReadFileBytes(target) != expected) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ListFolder(folder.path).size(), 24u) << "no temporary files left";
}

namespace {

size_t OpenDescriptors() { return ListFolder("/proc/self/fd").size(); }

}  // namespace

TEST(OutputFilePosix, TheFileStaysInTheFolderItWasMadeInWhateverHappensToThePathMeanwhile) {
  // Between creation and commit: the folder is renamed and its name made a
  // symbolic link to another folder, or the target's name changes. The file
  // is committed, or removed, in the folder it was made in, and no other.
  enum Meanwhile { kSwapFolder, kMakeReadOnly, kLinkAppears };
  struct Case {
    const char* what;
    Meanwhile meanwhile;
    bool earlier;
    bool commit;
    PlatformCommitOutcome outcome;
  };
  const Case cases[] = {
      {"new file, folder swapped", kSwapFolder, false, true, kCommitDone},
      {"replacement, folder swapped", kSwapFolder, true, true, kCommitDone},
      {"discarded, folder swapped", kSwapFolder, true, false, kCommitDone},
      {"earlier file made read-only", kMakeReadOnly, true, true, kCommitReplaceFailed},
      {"symbolic link at the name", kLinkAppears, false, true, kCommitReplaceFailed},
  };
  for (const Case& c : cases) {
    Folder folder;
    ASSERT_TRUE(MakeFolder(folder / "out"));
    ASSERT_TRUE(MakeFolder(folder / "elsewhere"));
    std::string path = folder / "out/photo.txt";
    if (c.earlier) {
      WriteFileBytes(path, "earlier\n");
      ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    }
    size_t descriptors = OpenDescriptors();
    char tempPath[kTempPathSize];
    PlatformFile file = PlatformCreateTempFile(path.c_str(), tempPath, sizeof tempPath);
    ASSERT_NE(file, 0) << c.what;
    int32_t written = 0;
    ASSERT_TRUE(PlatformWriteFile(file, "new\n", 4, &written)) << c.what;

    // Where the file made in out/ must end up, and what must stand there.
    std::string made = folder / "out";
    switch (c.meanwhile) {
      case kSwapFolder:
        ASSERT_EQ(rename(made.c_str(), (folder / "moved").c_str()), 0);
        ASSERT_EQ(symlink("elsewhere", made.c_str()), 0);
        made = folder / "moved";
        break;
      case kMakeReadOnly:
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        break;
      case kLinkAppears:
        WriteFileBytes(folder / "elsewhere/victim.txt", "victim\n");
        ASSERT_EQ(symlink("../elsewhere/victim.txt", path.c_str()), 0);
        break;
    }
    PlatformCommitOutcome outcome = kCommitDone;
    if (c.commit) {
      outcome = PlatformCommitFile(file, tempPath, path.c_str());
    } else {
      PlatformDiscardFile(file, tempPath);
    }
    EXPECT_EQ(outcome, c.outcome) << c.what;
    std::string expected = c.commit && c.outcome == kCommitDone ? "new\n" : c.earlier ? "earlier\n" : "";
    if (c.meanwhile == kLinkAppears) {
      struct stat st = StatOf(made + "/photo.txt");
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.what << ": the link stays";
      EXPECT_EQ(ReadFileBytes(folder / "elsewhere/victim.txt"), "victim\n") << c.what;
    } else if (expected.empty()) {
      EXPECT_FALSE(FileExists(made + "/photo.txt")) << c.what;
    } else {
      EXPECT_EQ(ReadFileBytes(made + "/photo.txt"), expected) << c.what;
      if (c.earlier && c.meanwhile != kMakeReadOnly) {
        EXPECT_EQ(StatOf(made + "/photo.txt").st_mode & 07777, 0640u) << c.what;
      }
    }
    EXPECT_EQ(ListFolder(made), std::vector<std::string>{"photo.txt"}) << c.what << ": no temporary file";
    std::vector<std::string> other = ListFolder(folder / "elsewhere");
    EXPECT_EQ(other.size(), c.meanwhile == kLinkAppears ? 1u : 0u) << c.what << ": nothing elsewhere";
    EXPECT_EQ(OpenDescriptors(), descriptors) << c.what << ": the folder is let go";
  }
}
