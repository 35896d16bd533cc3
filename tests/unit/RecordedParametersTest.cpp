// The recorded output path: when the host's descriptor suites count as
// usable, what the read step takes and answers, and what the write step
// hands back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripting/RecordedParameters.h"
#include "support/TestHost.h"

namespace {

struct Recording {
  TestHost host;
  PluginGlobals globals{};

  Recording() {
    globals.result = &host.resultCell;
    globals.stuff = &host.record;
    ResetGlobals(&globals);
  }
  PIDescriptorParameters& parameters() { return host.descriptorParameters; }
};

const DescriptorKeyID kOtherKey = FourCharCode('O', 't', 'h', 'r');

}  // namespace

TEST(RecordedParameters, TheSuiteIsUsableOnlyWhenEverythingIsThere) {
  Recording r;
  EXPECT_TRUE(DescriptorSuiteUsable(&r.parameters()));
  EXPECT_FALSE(DescriptorSuiteUsable(nullptr));

  auto unusable = [](const char* what, void (*spoil)(TestHost&)) {
    Recording s;
    spoil(s.host);
    EXPECT_FALSE(DescriptorSuiteUsable(&s.parameters())) << what;
    // Neither step opens anything then.
    s.host.SetRecordedDescriptor({{kKeyOutputPath, "x"}});
    EXPECT_TRUE(ReadRecordedParameters(&s.globals)) << what << ": the dialog is shown";
    EXPECT_EQ(s.globals.pathHandle, nullptr) << what;
    EXPECT_EQ(s.host.descriptors.openReadCalls, 0) << what;
    WriteRecordedParameters(&s.globals);
    EXPECT_EQ(s.host.descriptors.openWriteCalls, 0) << what;
    EXPECT_EQ(s.host.resultCell, 0) << what;
  };
  unusable("parameters version 1", [](TestHost& h) { h.descriptorParameters.descriptorParametersVersion = 1; });
  unusable("parameters version -1", [](TestHost& h) { h.descriptorParameters.descriptorParametersVersion = -1; });
  unusable("no read procs", [](TestHost& h) { h.descriptorParameters.readDescriptorProcs = nullptr; });
  unusable("no write procs", [](TestHost& h) { h.descriptorParameters.writeDescriptorProcs = nullptr; });
  unusable("read version 1", [](TestHost& h) { h.readProcs.readDescriptorProcsVersion = 1; });
  unusable("write version 1", [](TestHost& h) { h.writeProcs.writeDescriptorProcsVersion = 1; });
  unusable("17 read procs", [](TestHost& h) { h.readProcs.numReadDescriptorProcs = 17; });
  unusable("15 write procs", [](TestHost& h) { h.writeProcs.numWriteDescriptorProcs = 15; });
  unusable("last read slot null", [](TestHost& h) { h.readProcs.getPinnedUnitFloatProc = nullptr; });
  unusable("last write slot null", [](TestHost& h) { h.writeProcs.putScopedObjectProc = nullptr; });
  unusable("a read slot never called", [](TestHost& h) { h.readProcs.getCountProc = nullptr; });

  Recording more;
  more.host.readProcs.numReadDescriptorProcs = 19;
  more.host.writeProcs.numWriteDescriptorProcs = 17;
  EXPECT_TRUE(DescriptorSuiteUsable(&more.parameters()));
}

TEST(RecordedParameters, PlayInfoDecidesTheDialog) {
  for (int16_t playInfo : {int16_t{0}, int16_t{1}, int16_t{2}, int16_t{-1}, int16_t{3}}) {
    Recording r;
    r.parameters().playInfo = playInfo;
    r.host.SetRecordedDescriptor({{kKeyOutputPath, std::string("D:\\out\\\0\0", 9)}});
    EXPECT_EQ(ReadRecordedParameters(&r.globals), playInfo == 1) << playInfo;
    // The recorded path is taken whether or not the dialog will be shown.
    EXPECT_EQ(r.host.HandleBytes(r.globals.pathHandle), std::string("D:\\out\\\0\0", 9));
    EXPECT_EQ(r.parameters().descriptor, nullptr) << "released by the read step";
    EXPECT_EQ(r.host.resultCell, 0);
    TestDisposeHandle(r.globals.pathHandle);
  }
}

TEST(RecordedParameters, OnlyTheOutputPathKeyIsRead) {
  Recording r;
  r.host.SetRecordedDescriptor({{kOtherKey, "ignored"}, {kKeyOutputPath, "first"},
                                {kOtherKey, "ignored"}, {kKeyOutputPath, "second"}});
  size_t live = r.host.LiveHandleCount();
  ReadRecordedParameters(&r.globals);
  EXPECT_EQ(r.host.descriptors.getAliasCalls, 2);
  EXPECT_EQ(r.host.HandleBytes(r.globals.pathHandle), "second");
  // The descriptor is gone, the second path is held, the first not leaked.
  EXPECT_EQ(r.host.LiveHandleCount(), live);
  EXPECT_EQ(r.host.resultCell, 0);
}

TEST(RecordedParameters, ClosingTheReaderReportsOnlyRealErrors) {
  {
    // No 'In  ' in the descriptor: the host's "parameter missing" is no error.
    Recording r;
    r.host.SetRecordedDescriptor({{kOtherKey, "x"}});
    ReadRecordedParameters(&r.globals);
    EXPECT_EQ(r.host.resultCell, 0);
    EXPECT_EQ(r.globals.pathHandle, nullptr);
  }
  {
    Recording r;
    r.host.resultCell = kResultCancelled;
    r.host.descriptors.overrideCloseRead = true;
    r.host.descriptors.closeReadResult = kResultOutOfMemory;
    r.parameters().playInfo = kPlayDialogRequired;
    EXPECT_TRUE(ReadRecordedParameters(&r.globals));
    EXPECT_EQ(r.host.resultCell, kResultOutOfMemory) << "stored over what the cell held";
  }
  {
    // No reader: nothing read, the descriptor kept for the write step.
    Recording r;
    r.host.descriptors.openReadFails = true;
    r.host.SetRecordedDescriptor({{kKeyOutputPath, "x"}});
    Handle descriptor = r.parameters().descriptor;
    EXPECT_FALSE(ReadRecordedParameters(&r.globals));
    EXPECT_EQ(r.parameters().descriptor, descriptor);
    EXPECT_EQ(r.globals.pathHandle, nullptr);
    EXPECT_EQ(r.host.resultCell, 0);
  }
}

TEST(RecordedParameters, WritingHandsThePathToTheHostAndReleasesIt) {
  Recording r;
  r.host.SetRecordedDescriptor({{kOtherKey, "old"}});
  r.parameters().recordInfo = 5;
  r.globals.pathHandle = r.host.MakeHandle("D:\\out\\\0\0", 9);
  size_t live = r.host.LiveHandleCount();
  WriteRecordedParameters(&r.globals);
  EXPECT_EQ(r.globals.pathHandle, nullptr);
  EXPECT_EQ(r.parameters().recordInfo, 0);
  std::vector<TestDescriptorEntry> entries;
  ASSERT_TRUE(r.host.ReadBackDescriptor(&entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].key, kKeyOutputPath);
  EXPECT_EQ(entries[0].alias, std::string("D:\\out\\\0\0", 9));
  // Old descriptor and path released, the new descriptor made.
  EXPECT_EQ(r.host.LiveHandleCount(), live - 1);
}

TEST(RecordedParameters, WithNoPathTheHostGetsAnEmptyDescriptor) {
  Recording r;
  r.host.SetRecordedDescriptor({{kKeyOutputPath, "old"}});
  WriteRecordedParameters(&r.globals);
  std::vector<TestDescriptorEntry> entries;
  ASSERT_TRUE(r.host.ReadBackDescriptor(&entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(r.host.descriptors.putAliasCalls, 0);
  EXPECT_EQ(r.parameters().recordInfo, 0);
  EXPECT_EQ(r.host.LiveHandleCount(), 1u) << "the old descriptor was released";
}

TEST(RecordedParameters, WithoutAWriterNothingIsTouched) {
  Recording r;
  r.host.descriptors.openWriteFails = true;
  r.parameters().recordInfo = 5;
  Handle path = r.host.MakeHandle("p", 1);
  r.globals.pathHandle = path;
  WriteRecordedParameters(&r.globals);
  EXPECT_EQ(r.globals.pathHandle, path);
  EXPECT_EQ(r.parameters().recordInfo, 5);
  EXPECT_EQ(r.parameters().descriptor, nullptr);
}
