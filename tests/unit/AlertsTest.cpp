// Number formatting, placeholder substitution and the advance-state alert.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hostsupport/Alerts.h"
#include "platform/MessageBox.h"
#include "support/BoxWatcher.h"
#include "support/CountedStrings.h"

namespace {

std::string Formatted(double value, int16_t decimals) {
  auto s = MakeCounted("junk");
  FormatDecimal(s.get(), value, decimals);
  return CountedText(*s);
}

std::string Substituted(const std::string& text, const CountedString* r0, const CountedString* r1,
                        const CountedString* r2) {
  auto s = MakeCounted(text);
  SubstitutePlaceholders(s.get(), r0, r1, r2);
  EXPECT_EQ(s->chars[s->length], '\0');
  return CountedText(*s);
}

ResultCode GW_HOSTCALL SomeAdvanceState() { return 0; }

}  // namespace

TEST(FormatDecimal, RoundsTheExactValueHalfAwayFromZero) {
  struct Case {
    double value;
    int16_t decimals;
    const char* text;
  } cases[] = {
      {3.0, 1, "3.0"},       {2.96, 1, "3.0"},         {2.94, 1, "2.9"},
      {2.5, 3, "2.5"},       {1234.5678, 2, "1234.57"}, {9.999, 2, "10.0"},
      {-3.14159, 2, "-3.14"}, {-0.25, 1, "-0.3"},       {0.0, 1, "0.0"},
      {-0.04, 1, "-0.0"},    {0.05, 1, "0.1"},          {0.125, 2, "0.13"},
      // 0.15 is 0.1499999... as a double: no rounding up on the exact value.
      {0.15, 1, "0.1"},      {1.0 / 3.0, 4, "0.3333"},  {2147483647.0, 1, "2147483647.0"},
      {7.25, 5, "7.25"},     {0.5, 30, "0.5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Formatted(c.value, c.decimals), c.text) << c.value << " with " << c.decimals;
  }
}

TEST(FormatDecimal, HugeDecimalCountsStayInsideTheString) {
  // The exact expansion of 0.1 has 55 digits; of 2^-1074 over a thousand.
  EXPECT_EQ(Formatted(0.1, 100), "0.1000000000000000055511151231257827021181583404541015625");
  std::string tiny = Formatted(4.9406564584124654e-324, 32767);
  EXPECT_EQ(tiny.size(), 254u);
  EXPECT_EQ(tiny.substr(0, 6), "0.0000");
}

TEST(LongToString, WritesEveryInt32) {
  auto s = MakeCounted("x");
  LongToString(-2147483647 - 1, s.get());
  EXPECT_EQ(CountedText(*s), "-2147483648");
  LongToString(0, s.get());
  EXPECT_EQ(CountedText(*s), "0");
  LongToString(2147483647, s.get());
  EXPECT_EQ(CountedText(*s), "2147483647");
}

TEST(IntPower, CountsTheExponent) {
  EXPECT_EQ(IntPower(10, 0), 1.0);
  EXPECT_EQ(IntPower(10, 3), 1000.0);
  EXPECT_EQ(IntPower(2, 31), 2147483648.0);
  EXPECT_EQ(IntPower(7, -3), 1.0) << "a negative exponent must not loop";
}

TEST(SubstitutePlaceholders, ReplacesCaretDigitPairs) {
  auto q = MakeCounted("Q");
  auto z = MakeCounted("Z");
  auto three = MakeCounted("3.0");
  EXPECT_EQ(Substituted("^3 ^1", nullptr, q.get(), nullptr), "^3 Q");
  EXPECT_EQ(Substituted("^^1", nullptr, q.get(), nullptr), "^Q");
  EXPECT_EQ(Substituted("ab^", nullptr, q.get(), nullptr), "ab^");
  EXPECT_EQ(Substituted("between ^1 and ^2.", nullptr, q.get(), nullptr), "between Q and .");
  EXPECT_EQ(Substituted("suite '^0' here", z.get(), nullptr, nullptr), "suite 'Z' here");
  EXPECT_EQ(Substituted("needs ^1 or later", nullptr, three.get(), nullptr), "needs 3.0 or later");
}

TEST(SubstitutePlaceholders, GoesOnWhereTheDigitStood) {
  auto a2 = MakeCounted("a^2");
  auto z = MakeCounted("Z");
  auto caret2 = MakeCounted("^2");
  auto empty = MakeCounted("");
  EXPECT_EQ(Substituted("x^1y", nullptr, a2.get(), z.get()), "xaZy");
  EXPECT_EQ(Substituted("x^1y", nullptr, caret2.get(), z.get()), "x^2y");
  EXPECT_EQ(Substituted("^1^2", nullptr, empty.get(), z.get()), "^2");
}

TEST(SubstitutePlaceholders, SelfReferringReplacementEndsAtTheLimit) {
  auto grows = MakeCounted("ab^1");
  std::string out = Substituted("<^1>", nullptr, grows.get(), nullptr);
  EXPECT_EQ(out.size(), 254u);
  EXPECT_EQ(out.substr(0, 5), "<abab");

  auto many = MakeCounted("^1^1^1");
  EXPECT_LE(Substituted("^1", nullptr, many.get(), nullptr).size(), 254u);
}

TEST(SubstitutePlaceholders, LongTextsAreCutAt254) {
  auto longReplacement = MakeCounted(std::string(200, 'r'));
  std::string out = Substituted(std::string(100, 't') + "^1" + "tail", nullptr,
                                longReplacement.get(), nullptr);
  EXPECT_EQ(out, std::string(100, 't') + std::string(154, 'r'));
}

TEST(ShowAlertMessage, AlertIdZeroShowsNothing) {
  StartBoxWatch();
  int16_t answer = ShowAlertMessage(nullptr, nullptr, 0, kMessageRequiresHostVersion, nullptr, nullptr);
  std::vector<ObservedBox> boxes = StopBoxWatch();
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(boxes.empty());
}

TEST(CheckAdvanceState, PresentCallbackShowsNothing) {
  StartBoxWatch();
  bool available = CheckAdvanceState(SomeAdvanceState, nullptr);
  std::vector<ObservedBox> boxes = StopBoxWatch();
  EXPECT_TRUE(available);
  EXPECT_TRUE(boxes.empty());
}

// The test program carries the module's string table, so a null instance
// finds the same strings as the module's own.
TEST(CheckAdvanceState, MissingCallbackWarnsOnceWithTheHostVersion) {
  if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for message boxes";
  StartBoxWatch();
  bool available = CheckAdvanceState(nullptr, nullptr);
  std::vector<ObservedBox> boxes = StopBoxWatch();
  EXPECT_FALSE(available);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "This plug-in requires Adobe Photoshop\xC2\xAE 3.0 or later functionality.");
  EXPECT_EQ(boxes[0].icon, kMessageBoxIconExclamation);
}
