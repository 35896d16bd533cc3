// Handles through the host's suite and through the global-memory fallback,
// including hosts whose suites are broken.
#include <gtest/gtest.h>

#include <cstring>

#include "hostsupport/Handles.h"
#include "support/TestHost.h"

namespace {

HandleProcs UsableSuite() {
  return HandleProcs{1, 8, TestNewHandle, TestDisposeHandle, TestGetHandleSize,
                     nullptr, TestLockHandle, TestUnlockHandle, nullptr, nullptr};
}

}  // namespace

TEST(HandleProcsAvailable, RefusesEveryBrokenSuite) {
  TestHost host;
  HandleProcs good = UsableSuite();
  good.setSizeProc = [](Handle, int32_t) -> ResultCode { return 0; };
  EXPECT_TRUE(HandleProcsAvailable(&good));
  EXPECT_FALSE(HandleProcsAvailable(nullptr));

  HandleProcs p = good;
  p.handleProcsVersion = 0;
  EXPECT_FALSE(HandleProcsAvailable(&p));
  p.handleProcsVersion = 2;
  EXPECT_FALSE(HandleProcsAvailable(&p));
  p.handleProcsVersion = -1;
  EXPECT_FALSE(HandleProcsAvailable(&p));
  p = good;
  p.numHandleProcs = 7;
  EXPECT_FALSE(HandleProcsAvailable(&p));
  p.numHandleProcs = 0;
  EXPECT_FALSE(HandleProcsAvailable(&p));
  for (int slot = 0; slot < 4; ++slot) {
    p = good;
    switch (slot) {
      case 0: p.newProc = nullptr; break;
      case 1: p.disposeProc = nullptr; break;
      case 2: p.getSizeProc = nullptr; break;
      case 3: p.setSizeProc = nullptr; break;
    }
    EXPECT_FALSE(HandleProcsAvailable(&p)) << "slot " << slot;
  }
  // lock and unlock are not part of the test.
  p = good;
  p.lockProc = nullptr;
  p.unlockProc = nullptr;
  EXPECT_TRUE(HandleProcsAvailable(&p));
}

TEST(Handles, UseTheHostSuiteWhenItIsUsable) {
  TestHost host;
  HandleProcs procs = host.handleProcs;
  Handle h = NewHandle(&procs, 12);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(host.IsLiveHandle(h));
  EXPECT_EQ(GetHandleSize(&procs, h), 12);
  char* data = LockHandle(&procs, h, true);
  EXPECT_EQ(data, *h);
  EXPECT_EQ(host.handles.lockDepth, 1);
  UnlockHandle(&procs, h);
  EXPECT_EQ(host.handles.lockDepth, 0);
  DisposeHandle(&procs, h);
  EXPECT_FALSE(host.IsLiveHandle(h));
}

TEST(Handles, SuiteWithoutLockOrUnlockNeverCallsThroughNull) {
  TestHost host;
  HandleProcs procs = host.handleProcs;
  procs.lockProc = nullptr;
  procs.unlockProc = nullptr;
  Handle h = NewHandle(&procs, 4);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LockHandle(&procs, h, false), nullptr);
  UnlockHandle(&procs, h);
  DisposeHandle(&procs, h);
}

// The fallback runs on the platform's global memory: real Windows global
// memory in the Windows build.
class FallbackHandles : public testing::TestWithParam<int> {
 protected:
  HandleProcs* Procs() {
    switch (GetParam()) {
      case 0: return nullptr;
      case 1: broken_.handleProcsVersion = 0; return &broken_;
      case 2: broken_.handleProcsVersion = 2; return &broken_;
      default: broken_.numHandleProcs = 7; return &broken_;
    }
  }
  TestHost host_;
  HandleProcs broken_ = HandleProcs{1, 8, TestNewHandle, TestDisposeHandle, TestGetHandleSize,
                                    [](Handle, int32_t) -> ResultCode { return 0; },
                                    TestLockHandle, TestUnlockHandle, nullptr, nullptr};
};

TEST_P(FallbackHandles, HaveTheHandleShapeAndStayPut) {
  HandleProcs* procs = Procs();
  Handle h = NewHandle(procs, 20);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(host_.handles.newCalls, 0) << "the broken host suite must not be called";

  const HandleHeader* header = reinterpret_cast<const HandleHeader*>(h);
  EXPECT_EQ(std::memcmp(header->tag, "OTOF", 4), 0);
  EXPECT_GE(GetHandleSize(procs, h), 20);

  char* data = LockHandle(procs, h, true);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data, *h);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(data[i], 0) << "byte " << i;
  std::memcpy(data, "twenty bytes of data", 20);
  UnlockHandle(procs, h);
  EXPECT_EQ(LockHandle(procs, h, false), data);
  EXPECT_EQ(std::memcmp(*h, "twenty bytes of data", 20), 0) << "the address outlives an unlock";
  DisposeHandle(procs, h);
  EXPECT_EQ(host_.handles.disposeCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(BrokenSuites, FallbackHandles, testing::Values(0, 1, 2, 3));

TEST(Handles, ZeroHandleIsHarmlessEitherWay) {
  TestHost host;
  DisposeHandle(nullptr, nullptr);
  EXPECT_EQ(GetHandleSize(nullptr, nullptr), 0);
  EXPECT_EQ(LockHandle(nullptr, nullptr, true), nullptr);
  UnlockHandle(nullptr, nullptr);
}

TEST(Handles, FallbackRefusesImpossibleSizes) {
  EXPECT_EQ(NewHandle(nullptr, -1), nullptr);
  EXPECT_EQ(NewHandle(nullptr, INT32_MIN), nullptr);
  // A zero-size block cannot be locked (Windows makes it discarded), so
  // there is no handle to give.
  EXPECT_EQ(NewHandle(nullptr, 0), nullptr);
}

TEST(Handles, ManyFallbackHandlesAreIndependent) {
  Handle hs[64];
  for (int i = 0; i < 64; ++i) {
    hs[i] = NewHandle(nullptr, i + 1);
    ASSERT_NE(hs[i], nullptr);
    std::memset(*hs[i], i, static_cast<size_t>(i + 1));
  }
  for (int i = 0; i < 64; ++i) {
    EXPECT_GE(GetHandleSize(nullptr, hs[i]), i + 1);
    for (int j = 0; j <= i; ++j) ASSERT_EQ((*hs[i])[j], static_cast<char>(i));
    DisposeHandle(nullptr, hs[i]);
  }
}
