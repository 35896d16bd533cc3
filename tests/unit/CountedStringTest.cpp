// The length-prefixed strings. Each string under test lives in a heap block
// of exactly 256 bytes, so the sanitizer build catches any write past it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hostsupport/CountedString.h"
#include "support/TestHost.h"
#include "support/CountedStrings.h"

namespace {

void ExpectTerminated(const CountedString& s) {
  ASSERT_LE(s.length, 254);
  EXPECT_EQ(s.chars[s.length], '\0');
}

}  // namespace

TEST(CountedString, ClearLeavesAnEmptyTerminatedString) {
  auto s = MakeCounted("abc");
  ClearString(s.get());
  EXPECT_EQ(s->length, 0);
  EXPECT_EQ(s->chars[0], '\0');
}

TEST(CountedString, AppendsStopAt254Characters) {
  struct Case {
    size_t before;
    size_t expectedAfter;
    std::string kept;
  } cases[] = {{252, 254, "xy"}, {253, 254, "x"}, {254, 254, ""}, {0, 3, "xyz"}};
  for (const Case& c : cases) {
    auto s = MakeCounted(std::string(c.before, 'a'));
    AppendChars(s.get(), "xyz", 0, 3);
    EXPECT_EQ(s->length, c.expectedAfter) << "from " << c.before;
    EXPECT_EQ(CountedText(*s), std::string(c.before, 'a').substr(0, c.expectedAfter - c.kept.size()) + c.kept);
    ExpectTerminated(*s);
  }
}

TEST(CountedString, Any255CharacterStringIsCutByTheNextAppend) {
  auto s = MakeCounted(std::string(255, 'b'));
  AppendChars(s.get(), "x", 0, 0);
  EXPECT_EQ(s->length, 254);
  ExpectTerminated(*s);

  auto t = MakeCounted(std::string(255, 'b'));
  AppendChar(t.get(), 'x');
  EXPECT_EQ(t->length, 254);
  EXPECT_EQ(CountedText(*t), std::string(254, 'b'));
  ExpectTerminated(*t);
}

TEST(CountedString, NegativeCountAppendsNothing) {
  auto s = MakeCounted("abc");
  AppendChars(s.get(), "xyz", 0, -5);
  EXPECT_EQ(CountedText(*s), "abc");
  ExpectTerminated(*s);
}

TEST(CountedString, AppendCharStopsAt254) {
  auto s = MakeCounted(std::string(253, 'a'));
  AppendChar(s.get(), 'x');
  EXPECT_EQ(s->length, 254);
  AppendChar(s.get(), 'y');
  EXPECT_EQ(s->length, 254);
  EXPECT_EQ(s->chars[253], 'x');
  ExpectTerminated(*s);
}

TEST(CountedString, CopyingFromAnotherStringSkipsItsLengthByte) {
  auto source = MakeCounted("hello");
  auto dest = MakeCounted("zz");
  ClearString(dest.get());
  AppendChars(dest.get(), CountedBytes(source.get()), 1, source->length);
  EXPECT_EQ(CountedText(*dest), "hello");

  // A tail from position 3 on, limited by the room left like any append.
  auto tail = MakeCounted(std::string(252, 'q'));
  AppendChars(tail.get(), CountedBytes(source.get()), 3, static_cast<int16_t>(source->length - 3 + 1));
  EXPECT_EQ(CountedText(*tail), std::string(252, 'q') + "ll");
  ExpectTerminated(*tail);
}

TEST(CountedString, CopyHandleTakesRawBytesUpTo254) {
  TestHost host;
  std::string big(300, 'h');
  Handle large = host.MakeHandle(big.data(), 300);
  Handle empty = host.MakeHandle("", 0);
  Handle withNuls = host.MakeHandle("path\0\0", 6);

  auto s = MakeCounted("old");
  CopyHandleToString(&host.handleProcs, large, s.get());
  EXPECT_EQ(s->length, 254);
  ExpectTerminated(*s);

  CopyHandleToString(&host.handleProcs, empty, s.get());
  EXPECT_EQ(s->length, 0);

  CopyHandleToString(&host.handleProcs, withNuls, s.get());
  EXPECT_EQ(CountedText(*s), std::string("path\0\0", 6));
  EXPECT_EQ(host.handles.lockDepth, 0) << "every lock is undone";

  CopyHandleToString(&host.handleProcs, nullptr, s.get());
  EXPECT_EQ(s->length, 0);
}

TEST(CountedString, CopyHandleSurvivesAHostThatCannotLockOrSize) {
  TestHost host;
  Handle h = host.MakeHandle("abc", 3);
  auto s = MakeCounted("old");
  host.handles.nullLock = true;
  CopyHandleToString(&host.handleProcs, h, s.get());
  EXPECT_EQ(s->length, 0);
  EXPECT_EQ(host.handles.unlockCalls, 1) << "unlocked even when the lock failed";

  // A host that reports a negative size has not given 254 readable bytes.
  host.handles.nullLock = false;
  host.handles.reportNegativeSize = true;
  CopyHandleToString(&host.handleProcs, h, s.get());
  EXPECT_EQ(s->length, 0);
}
