// Writes that fall short or fail are write errors, never success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "render/Renderer.h"

TEST(WriteBytes, AShortWriteIsAWriteError) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  // More than a pipe holds: the write stops part-way.
  std::string big(4 << 20, 'x');
  int32_t count = static_cast<int32_t>(big.size());
  EXPECT_EQ(WriteBytes(fds[1], &count, big.data()), kResultWriteError);
  EXPECT_GT(count, 0);
  EXPECT_LT(count, static_cast<int32_t>(big.size()));
  close(fds[0]);
  close(fds[1]);
}

TEST(WriteBytes, AFullDeviceIsAWriteError) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  int32_t count = 5;
  EXPECT_EQ(WriteBytes(fd, &count, "line\n"), kResultWriteError);
  close(fd);
}

TEST(WriteBytes, CompleteWritesReportTheirCount) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int32_t count = 6;
  EXPECT_EQ(WriteBytes(fds[1], &count, "hello\n"), kResultOk);
  EXPECT_EQ(count, 6);
  char back[6];
  EXPECT_EQ(read(fds[0], back, 6), 6);
  close(fds[0]);
  close(fds[1]);
}
