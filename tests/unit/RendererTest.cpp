// The renderer on small synthetic images, against text built here from the
// ramp's published runs; bands, progress, abort and failures through the
// in-process host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "render/Renderer.h"
#include "support/BoxWatcher.h"
#include "support/TestFiles.h"
#include "support/TestHost.h"

namespace {

// The ramp as runs of characters, darkest last.
const struct {
  char c;
  int count;
} kRuns[] = {{' ', 9}, {'`', 12}, {'.', 6},  {'-', 4},  {'\'', 7}, {',', 8}, {':', 8}, {'=', 8},
             {'!', 9}, {'+', 8},  {'i', 6},  {'?', 6},  {'[', 1},  {'(', 8}, {'7', 4}, {'*', 4},
             {'{', 4}, {'2', 4},  {'J', 4},  {'3', 4},  {'u', 4},  {'5', 4}, {'n', 4}, {'%', 5},
             {'y', 4}, {'6', 6},  {'$', 6},  {'&', 4},  {'0', 4},  {'8', 4}, {'A', 5}, {'G', 4},
             {'U', 4}, {'K', 4},  {'#', 4},  {'Q', 6},  {'m', 6},  {'H', 15}, {'W', 14}, {'N', 8},
             {'@', 42}};

std::string RampFromRuns() {
  std::string ramp;
  for (const auto& run : kRuns) ramp.append(static_cast<size_t>(run.count), run.c);
  return ramp;
}

char Expected(uint8_t sample) { return RampFromRuns()[255 - sample]; }

// The text an image must give: one line per row, a line feed after each.
std::string ExpectedText(int rows, int columns, int planes, const std::vector<uint8_t>& samples) {
  std::string text;
  const std::string ramp = RampFromRuns();
  for (int r = 0; r < rows; ++r) {
    for (int i = 0; i < columns * planes; ++i) text += ramp[255 - samples[static_cast<size_t>(r * columns * planes + i)]];
    text += '\n';
  }
  return text;
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

struct RenderOutcome {
  bool ok;
  int16_t result;
  std::string text;
};

// Runs the renderer against `host` into a fresh file.
RenderOutcome Render(TestHost& host, int16_t resultOnEntry = 0) {
  std::string folder = MakeTempFolder();
  std::string path = folder + PathSeparator() + "out.txt";
  PluginGlobals globals{};
  host.resultCell = resultOnEntry;
  globals.result = &host.resultCell;
  globals.stuff = &host.record;
  globals.fileRef = CreateTestFile(path);
  EXPECT_NE(globals.fileRef, 0);
  bool ok = WriteImageAsText(&globals);
  CloseTestFile(globals.fileRef);
  RenderOutcome outcome{ok, host.resultCell, ReadFileBytes(path)};
  RemoveTree(folder);
  return outcome;
}

}  // namespace

TEST(CharacterRamp, IsThePublishedRamp) {
  std::string ramp = RampFromRuns();
  ASSERT_EQ(ramp.size(), 281u);
  EXPECT_EQ(std::string(CharacterRamp), ramp);
  for (int s = 247; s <= 255; ++s) EXPECT_EQ(Expected(static_cast<uint8_t>(s)), ' ');
  for (int s = 0; s <= 16; ++s) EXPECT_EQ(Expected(static_cast<uint8_t>(s)), '@');
  EXPECT_EQ(Expected(164), '[');
  EXPECT_EQ(Expected(128), 'u');
  EXPECT_EQ(Expected(64), 'Q');

  std::vector<uint8_t> all(256);
  for (int s = 0; s < 256; ++s) all[static_cast<size_t>(s)] = static_cast<uint8_t>(s);
  char line[256];
  MapSamples(all.data(), 256, line);
  for (int s = 0; s < 256; ++s) {
    EXPECT_EQ(line[s], Expected(static_cast<uint8_t>(s))) << "sample " << s;
    EXPECT_TRUE(line[s] >= 0x20 && line[s] <= 0x7E);
  }
}

TEST(Renderer, TheSmallExamples) {
  const struct {
    int rows, columns, planes;
    std::vector<uint8_t> samples;
    const char* text;
  } cases[] = {
      {1, 1, 1, {0}, "@\n"},
      {1, 4, 1, {255, 255, 255, 255}, "    \n"},
      {1, 1, 3, {255, 0, 128}, " @u\n"},
      {2, 2, 1, {0, 255, 128, 64}, "@ \nuQ\n"},
  };
  for (const auto& c : cases) {
    TestHost host;
    host.SetImage(c.rows, c.columns, c.planes, c.samples, c.planes == 3 ? kModeRGBColor : kModeGrayScale);
    RenderOutcome out = Render(host);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.text, c.text) << "actual text:\n" << out.text;
  }
}

TEST(Renderer, EveryShapeAndBandHeightGivesTheExactText) {
  const struct {
    int rows, columns, planes;
    int32_t maxData;
  } shapes[] = {
      {10, 1, 1, 4},        {10, 3, 1, 9},       {7, 5, 3, 15},     {13, 17, 4, 68 * 5},
      {33, 9, 2, 18 * 32},  {100, 31, 1, 31 * 7}, {5, 2, 5, 1},      {3, 300, 3, 524288},
      {64, 16, 1, 524288},  {1, 1000, 3, 999},    {20, 7, 7, 0},     {9, 4, 1, -100},
  };
  unsigned seed = 1;
  for (const auto& s : shapes) {
    TestHost host;
    std::vector<uint8_t> samples = Pattern(static_cast<size_t>(s.rows * s.columns * s.planes), seed++);
    host.SetImage(s.rows, s.columns, s.planes, samples, kModeMultichannel);
    host.record.maxData = s.maxData;
    RenderOutcome out = Render(host);
    ASSERT_TRUE(out.ok) << s.rows << "x" << s.columns << "x" << s.planes;
    EXPECT_EQ(out.text.size(), static_cast<size_t>(s.rows * (s.columns * s.planes + 1)));
    EXPECT_EQ(out.text, ExpectedText(s.rows, s.columns, s.planes, samples));

    // The bands cover the rows in order, each within the data budget.
    int expectedTop = 0;
    for (size_t i = 0; i < host.bands.requests.size(); ++i) {
      const Rect& r = host.bands.requests[i];
      EXPECT_EQ(r.top, expectedTop);
      EXPECT_EQ(r.left, 0);
      EXPECT_EQ(r.right, s.columns);
      EXPECT_EQ(host.bands.planes[i].first, 0);
      EXPECT_EQ(host.bands.planes[i].second, s.planes - 1);
      int32_t height = r.bottom - r.top;
      EXPECT_GE(height, 1);
      if (s.maxData >= s.columns * s.planes) {
        EXPECT_LE(height * s.columns * s.planes, s.maxData);
      }
      expectedTop = r.bottom;
    }
    EXPECT_EQ(expectedTop, s.rows);
  }
}

TEST(Renderer, BandsOfFourOverTenRows) {
  TestHost host;
  host.SetImage(10, 3, 2, Pattern(60, 7), kModeMultichannel);
  host.record.maxData = 4 * 3 * 2;
  ASSERT_TRUE(Render(host).ok);
  ASSERT_EQ(host.bands.requests.size(), 3u);
  EXPECT_EQ(host.bands.requests[0].bottom, 4);
  EXPECT_EQ(host.bands.requests[1].top, 4);
  EXPECT_EQ(host.bands.requests[1].bottom, 8);
  EXPECT_EQ(host.bands.requests[2].top, 8);
  EXPECT_EQ(host.bands.requests[2].bottom, 10);
  EXPECT_EQ(host.record.theRect.top, 8) << "the last request stays in theRect";
  EXPECT_EQ(host.record.theRect.bottom, 10);
  EXPECT_EQ(host.record.theRect.right, 3);
  EXPECT_EQ(host.record.hiPlane, 1);
}

TEST(Renderer, ProgressCountsRowsFromZero) {
  TestHost host;
  host.SetImage(6, 2, 1, Pattern(12, 3));
  host.record.maxData = 4;
  ASSERT_TRUE(Render(host).ok);
  ASSERT_EQ(host.progress.size(), 6u);
  for (int32_t r = 0; r < 6; ++r) {
    EXPECT_EQ(host.progress[static_cast<size_t>(r)].first, r);
    EXPECT_EQ(host.progress[static_cast<size_t>(r)].second, 6);
  }
}

TEST(Renderer, AbortStopsBetweenWholeLines) {
  {
    // The first abort test comes before the first band is requested.
    TestHost host;
    host.SetImage(4, 3, 1, Pattern(12, 5));
    host.abortAtCall = 0;
    RenderOutcome out = Render(host);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.result, kResultCancelled);
    EXPECT_EQ(out.text, "");
    EXPECT_TRUE(host.bands.requests.empty());
  }
  {
    // During the first row: its line is built but never written.
    TestHost host;
    host.SetImage(4, 3, 1, Pattern(12, 5));
    host.abortAtCall = 1;
    RenderOutcome out = Render(host);
    EXPECT_EQ(out.result, kResultCancelled);
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(host.progress.size(), 1u);
  }
  {
    // From row 3 on: rows 0 to 2 are written whole.
    TestHost host;
    std::vector<uint8_t> samples = Pattern(30, 9);
    host.SetImage(10, 3, 1, samples);
    host.record.maxData = 6;
    host.abortAtRow = 3;
    RenderOutcome out = Render(host);
    EXPECT_EQ(out.result, kResultCancelled);
    EXPECT_EQ(out.text, ExpectedText(3, 3, 1, samples));
    EXPECT_EQ(host.progress.back().first, 3) << "no callback after the stop";
  }
}

TEST(Renderer, AnEarlierCodeStandsButEveryRowIsWritten) {
  TestHost host;
  std::vector<uint8_t> samples = Pattern(20, 11);
  host.SetImage(5, 4, 1, samples);
  RenderOutcome out = Render(host, kResultOutOfMemory);
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(out.result, kResultOutOfMemory);
  EXPECT_EQ(out.text, ExpectedText(5, 4, 1, samples));

  TestHost failing;
  failing.SetImage(5, 4, 1, samples);
  failing.abortAtCall = 2;
  out = Render(failing, -42);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.result, -42) << "first error wins";
}

TEST(Renderer, HostRefusingABandEndsTheExportWithItsCode) {
  TestHost host;
  std::vector<uint8_t> samples = Pattern(40, 13);
  host.SetImage(10, 4, 1, samples);
  host.record.maxData = 16;  // bands of 4 rows
  host.bands.failWith = kResultOutOfMemory;
  host.bands.failAtRequest = 1;
  RenderOutcome out = Render(host);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.result, kResultOutOfMemory);
  EXPECT_EQ(out.text, ExpectedText(4, 4, 1, samples)) << "no row of the refused band";
  EXPECT_EQ(host.progress.size(), 4u);
}

namespace {
ResultCode GW_HOSTCALL SuccessWithoutData() { return 0; }
}  // namespace

TEST(Renderer, HostClaimingSuccessWithoutDataIsAFailureNotACrash) {
  TestHost host;
  host.SetImage(2, 2, 1, {1, 2, 3, 4});
  host.record.advanceState = SuccessWithoutData;
  host.record.data = nullptr;
  RenderOutcome out = Render(host);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.result, kResultBadParameter);
}

TEST(Renderer, NoAdvanceStateWarnsAndCancels) {
  if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for message boxes";
  TestHost host;
  host.SetImage(3, 2, 1, Pattern(6, 1));
  host.record.advanceState = nullptr;
  host.record.theRect = Rect{9, 8, 7, 6};
  StartBoxWatch();
  RenderOutcome out = Render(host);
  std::vector<ObservedBox> boxes = StopBoxWatch();
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.result, kResultCancelled);
  EXPECT_EQ(out.text, "");
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(host.record.theRect.top, 9) << "theRect keeps its value";
  EXPECT_EQ(host.record.theRect.right, 6);
}

TEST(Renderer, DegenerateSizesNeverCrash) {
  {
    TestHost host;  // no rows: nothing at all
    host.SetImage(0, 5, 1, {});
    RenderOutcome out = Render(host);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.text, "");
    EXPECT_TRUE(host.bands.requests.empty());
  }
  {
    TestHost host;  // rows without columns: empty lines, nothing to ask for
    host.SetImage(3, 0, 1, {});
    RenderOutcome out = Render(host);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.text, "\n\n\n");
    EXPECT_TRUE(host.bands.requests.empty());
  }
  {
    TestHost host;  // impossible sizes are refused, not sized into a buffer
    host.SetImage(2, 2, 1, {1, 2, 3, 4});
    host.record.planes = -3;
    RenderOutcome out = Render(host);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.result, kResultBadParameter);
  }
}

TEST(RowsPerBand, FollowsTheBudgetWithinOneTo32767) {
  EXPECT_EQ(RowsPerBand(524288, 1000, 3), 174);
  EXPECT_EQ(RowsPerBand(524288, 16, 1), 32767) << "32768 rows would not fit 16 bits";
  EXPECT_EQ(RowsPerBand(524288, 17, 1), 30840);
  EXPECT_EQ(RowsPerBand(524288, 1, 16), 32767);
  EXPECT_EQ(RowsPerBand(100, 1000, 1), 1) << "a budget below one row still makes progress";
  EXPECT_EQ(RowsPerBand(0, 10, 1), 1);
  EXPECT_EQ(RowsPerBand(-5, 10, 1), 1);
  EXPECT_EQ(RowsPerBand(INT32_MAX, 1, 1), 32767);
  EXPECT_EQ(RowsPerBand(524288, 0, 3), 32767);
  EXPECT_EQ(RowsPerBand(524288, 10, 0), 32767);
  EXPECT_EQ(RowsPerBand(524288, 32767, 32767), 1);
}
