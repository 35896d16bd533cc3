// The entry point: globals kept in a host handle between calls, the result
// cell, the small selectors, and failures that must not escape to the host.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "plugin/Handlers.h"
#include "plugin/PluginGlobals.h"
#include "support/BoxWatcher.h"
#include "support/TestHost.h"

namespace {

PluginGlobals* PeekGlobals(TestHost& host) {
  return reinterpret_cast<PluginGlobals*>(*reinterpret_cast<Handle>(host.dataCell));
}

}  // namespace

TEST(Dispatch, UnknownSelectorsAreRefusedWithGlobalsUnlocked) {
  for (int16_t selector : {int16_t{5}, int16_t{-1}, int16_t{32767}, int16_t{-32768}}) {
    TestHost host;
    host.resultCell = 42;
    EXPECT_EQ(host.Call(selector), kResultUnknownSelector) << selector;
    EXPECT_NE(host.dataCell, 0) << "globals are still created";
    EXPECT_EQ(host.handles.lockDepth, 0) << "and unlocked again";
  }
}

TEST(Dispatch, AboutTouchesNeitherCell) {
  if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for message boxes";
  TestHost host;
  AboutRecord about{};
  about.platformData = &host.platform;
  intptr_t data = 0;
  int16_t result = 77;
  StartBoxWatch();
  PluginMain(kSelectorAbout, &about, &data, &result);
  EXPECT_EQ(StopBoxWatch().size(), 1u);
  EXPECT_EQ(data, 0);
  EXPECT_EQ(result, 77);
  EXPECT_EQ(host.handles.newCalls, 0);
}

TEST(Dispatch, GlobalsAreCreatedOnceAndKeptBetweenCalls) {
  TestHost host;
  EXPECT_EQ(host.Call(kSelectorPrepare), 0);
  ASSERT_NE(host.dataCell, 0);
  intptr_t cell = host.dataCell;
  EXPECT_EQ(host.handles.newCalls, 1);
  EXPECT_EQ(host.handles.lockDepth, 0) << "unlocked between calls";

  PluginGlobals* g = PeekGlobals(host);
  EXPECT_TRUE(g->queryForParameters);
  EXPECT_EQ(g->pathHandle, nullptr);
  EXPECT_EQ(g->fileRef, 0);
  EXPECT_EQ(g->sameTitle, 0);

  // Values left by one call are there at the next: the initialiser does not
  // run again.
  Handle marker = host.MakeHandle("x", 1);
  g->queryForParameters = false;
  g->pathHandle = marker;
  host.resultCell = 99;
  EXPECT_EQ(host.Call(kSelectorPrepare), 0) << "the result cell is reset on every call";
  EXPECT_EQ(host.dataCell, cell);
  EXPECT_EQ(host.handles.newCalls, 1);
  EXPECT_FALSE(g->queryForParameters);
  EXPECT_EQ(g->pathHandle, marker);
  EXPECT_EQ(g->result, &host.resultCell);
  EXPECT_EQ(g->stuff, &host.record);
}

TEST(Dispatch, PrepareCapsTheDataBudget) {
  const struct {
    int32_t given, kept;
  } cases[] = {{524288, 524288}, {524289, 524288}, {100000, 100000}, {INT32_MAX, 524288}, {0, 0},
               {-5, -5}};
  for (const auto& c : cases) {
    TestHost host;
    host.record.maxData = c.given;
    EXPECT_EQ(host.Call(kSelectorPrepare), 0);
    EXPECT_EQ(host.record.maxData, c.kept) << c.given;
  }
}

TEST(Dispatch, ContinueStopsTheExportAndEmptiesTheRequest) {
  TestHost host;
  host.Call(kSelectorPrepare);
  host.record.theRect = Rect{1, 2, 3, 4};
  host.record.loPlane = 1;
  host.record.hiPlane = 2;
  EXPECT_EQ(host.Call(kSelectorContinue), kResultCancelled);
  EXPECT_EQ(host.record.theRect.top, 0);
  EXPECT_EQ(host.record.theRect.left, 0);
  EXPECT_EQ(host.record.theRect.bottom, 0);
  EXPECT_EQ(host.record.theRect.right, 0);
  EXPECT_EQ(host.record.loPlane, 1) << "planes are left alone";
  EXPECT_EQ(host.record.hiPlane, 2);
}

TEST(Dispatch, GlobalsThatCannotBeMadeGiveOutOfMemory) {
  TestHost host;
  host.handles.failNew = true;
  EXPECT_EQ(host.Call(kSelectorPrepare), kResultOutOfMemory);
  EXPECT_EQ(host.dataCell, 0);

  host.handles.failNew = false;
  host.handles.nullLock = true;
  EXPECT_EQ(host.Call(kSelectorStart), kResultOutOfMemory);
  EXPECT_EQ(host.dataCell, 0) << "a new handle that cannot be locked is not kept";
  EXPECT_EQ(host.LiveHandleCount(), 0u) << "and it is disposed of";

  // The next call tries again.
  host.handles.nullLock = false;
  EXPECT_EQ(host.Call(kSelectorPrepare), 0);
  EXPECT_NE(host.dataCell, 0);

  // An existing handle that fails to lock stays in the cell.
  intptr_t cell = host.dataCell;
  host.handles.nullLock = true;
  EXPECT_EQ(host.Call(kSelectorPrepare), kResultOutOfMemory);
  EXPECT_EQ(host.dataCell, cell);
}

TEST(Dispatch, GlobalsFallBackToPlatformMemoryWithoutAHandleSuite) {
  TestHost host;
  host.record.handleProcs = nullptr;
  host.record.maxData = 600000;
  EXPECT_EQ(host.Call(kSelectorPrepare), 0);
  ASSERT_NE(host.dataCell, 0);
  EXPECT_EQ(host.handles.newCalls, 0);
  intptr_t cell = host.dataCell;
  EXPECT_EQ(host.Call(kSelectorContinue), kResultCancelled);
  EXPECT_EQ(host.dataCell, cell);
  EXPECT_EQ(host.record.maxData, 524288);
}

namespace {

Handle GW_HOSTCALL ThrowingNew(int32_t) { throw std::bad_alloc(); }
PIWriteDescriptor GW_HOSTCALL ThrowingOpenWrite() { throw std::runtime_error("host trouble"); }

}  // namespace

TEST(Dispatch, NothingEscapesTheEntryPoint) {
  TestHost host;
  host.handleProcs.newProc = ThrowingNew;
  EXPECT_EQ(host.Call(kSelectorPrepare), kResultOutOfMemory);
  EXPECT_EQ(host.dataCell, 0);

  host.handleProcs.newProc = TestNewHandle;
  host.writeProcs.openWriteDescriptorProc = ThrowingOpenWrite;
  EXPECT_EQ(host.Call(kSelectorFinish), kResultInternalError);
  EXPECT_EQ(host.handles.lockDepth, 0) << "the globals are unlocked all the same";
}

TEST(Dispatch, FinishWithNothingToRecordHandsTheHostAnEmptyDescriptor) {
  TestHost host;
  host.SetRecordedDescriptor({{FourCharCode('I', 'n', ' ', ' '), "old"}});
  host.descriptorParameters.recordInfo = 5;
  EXPECT_EQ(host.Call(kSelectorFinish), 0);
  EXPECT_EQ(host.handles.disposeCalls, 1) << "the previous descriptor is disposed of";
  std::vector<TestDescriptorEntry> entries;
  ASSERT_TRUE(host.ReadBackDescriptor(&entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(host.descriptorParameters.recordInfo, 0);
}
