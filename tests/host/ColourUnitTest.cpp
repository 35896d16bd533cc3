// The terminal view's pieces: palette colours against xterm's, the nearest
// colour at each depth, the sequences a line becomes, lines paired with
// their rows however the text arrives, and what the terminal's answers say.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/image/ImageInput.h"
#include "host/view/Colour.h"
#include "host/view/ColouredText.h"
#include "host/view/Terminal.h"
#include "host/view/TextRows.h"

namespace {

TEST(Colour, PaletteIsXterms) {
  // Values from xterm's 256colres.h.
  struct Row { int index, r, g, b; };
  for (const Row& row : {Row{1, 205, 0, 0}, Row{12, 92, 92, 255}, Row{16, 0, 0, 0}, Row{21, 0, 0, 255},
                         Row{67, 95, 135, 175}, Row{196, 255, 0, 0}, Row{231, 255, 255, 255},
                         Row{232, 8, 8, 8}, Row{244, 128, 128, 128}, Row{255, 238, 238, 238}}) {
    uint8_t rgb[3];
    PaletteColour(row.index, rgb);
    EXPECT_EQ((std::vector<int>{rgb[0], rgb[1], rgb[2]}), (std::vector<int>{row.r, row.g, row.b})) << row.index;
  }
}

TEST(Colour, NearestAtEachDepth) {
  struct Row { ColourDepth depth; int r, g, b, code; };
  for (const Row& row : {
           // 256: the cube and the grey ramp, never the 16 theme colours.
           Row{ColourDepth::k256, 0, 0, 0, 16}, Row{ColourDepth::k256, 1, 1, 1, 16},
           Row{ColourDepth::k256, 255, 255, 255, 231}, Row{ColourDepth::k256, 255, 0, 0, 196},
           Row{ColourDepth::k256, 250, 4, 3, 196}, Row{ColourDepth::k256, 8, 8, 8, 232},
           Row{ColourDepth::k256, 9, 9, 9, 232}, Row{ColourDepth::k256, 127, 128, 129, 244},
           Row{ColourDepth::k256, 95, 135, 175, 67}, Row{ColourDepth::k256, 238, 238, 238, 255},
           Row{ColourDepth::k16, 0, 0, 0, 0}, Row{ColourDepth::k16, 255, 255, 255, 15},
           Row{ColourDepth::k16, 200, 10, 0, 1}, Row{ColourDepth::k16, 255, 30, 30, 9},
           Row{ColourDepth::k16, 128, 128, 128, 8}, Row{ColourDepth::k16, 0, 0, 230, 4},
           Row{ColourDepth::k8, 255, 30, 30, 1}, Row{ColourDepth::k8, 255, 255, 255, 7},
           Row{ColourDepth::k8, 0, 0, 120, 4}, Row{ColourDepth::k8, 0, 100, 0, 2},
           Row{ColourDepth::k8, 255, 200, 0, 3}, Row{ColourDepth::k16, 200, 60, 40, 1},
           Row{ColourDepth::kTrue, 1, 2, 3, 0x010203}, Row{ColourDepth::kNone, 1, 2, 3, -1}}) {
    ColourMapper mapper(row.depth);
    EXPECT_EQ(mapper.Code(static_cast<uint8_t>(row.r), static_cast<uint8_t>(row.g), static_cast<uint8_t>(row.b)),
              row.code)
        << ColourDepthName(row.depth) << " " << row.r << "," << row.g << "," << row.b;
  }
  // Every colour of the 256 palette past the first 16 is its own nearest.
  ColourMapper mapper(ColourDepth::k256);
  for (int i = 16; i < 256; ++i) {
    uint8_t rgb[3];
    PaletteColour(i, rgb);
    EXPECT_EQ(mapper.Code(rgb[0], rgb[1], rgb[2]), i);
  }
  // Greys, and greys with a tint, stay grey with few colours, from dark to
  // light: black and white at 8; black, grey, light grey, white at 16.
  for (ColourDepth depth : {ColourDepth::k8, ColourDepth::k16}) {
    const std::vector<int> ramp =
        depth == ColourDepth::k8 ? std::vector<int>{0, 7} : std::vector<int>{0, 8, 7, 15};
    ColourMapper basic(depth);
    for (int tint : {0, 6}) {
      size_t step = 0;
      for (int v = 0; v < 256; ++v) {
        int code = basic.Code(static_cast<uint8_t>(std::min(255, v + tint)), static_cast<uint8_t>(v),
                              static_cast<uint8_t>(std::max(0, v - tint)));
        while (step < ramp.size() && ramp[step] != code) ++step;
        ASSERT_LT(step, ramp.size()) << ColourDepthName(depth) << " grey " << v << " tint " << tint << " is " << code;
      }
      EXPECT_EQ(ramp[step], ramp.back()) << ColourDepthName(depth);
    }
  }
}

TEST(Colour, LinesBecomeSequencesOnlyWhereTheColourChanges) {
  const Tint red{255, 0, 0, true}, black{0, 0, 0, true}, none{};
  struct Row {
    ColourDepth depth;
    std::string text;
    std::vector<Tint> tints;  // empty: no colour
    bool lineFeed;
    std::string expected;
  };
  for (const Row& row : std::vector<Row>{
           {ColourDepth::kTrue, "ab", {red, red}, true, "\033[38;2;255;0;0mab\033[0m\n"},
           {ColourDepth::kTrue, "a", {black}, true, "\033[38;2;0;0;0ma\033[0m\n"},
           {ColourDepth::kTrue, "a b", {red, black, red}, true, "\033[38;2;255;0;0ma b\033[0m\n"},
           {ColourDepth::kTrue, "  ", {red, red}, true, "  \n"},
           {ColourDepth::kTrue, "abc", {red, none, black}, false,
            "\033[38;2;255;0;0ma\033[39mb\033[38;2;0;0;0mc\033[0m"},
           {ColourDepth::kTrue, "ab", {red, none}, true, "\033[38;2;255;0;0ma\033[39mb\n"},
           {ColourDepth::kTrue, "ab", {}, true, "ab\n"},
           {ColourDepth::k256, "ab", {red, black}, true, "\033[38;5;196ma\033[38;5;16mb\033[0m\n"},
           {ColourDepth::k16, "ab", {red, black}, true, "\033[91ma\033[30mb\033[0m\n"},
           {ColourDepth::k16, "a", {Tint{128, 128, 128, true}}, true, "\033[90ma\033[0m\n"},
           {ColourDepth::k8, "ab", {red, black}, true, "\033[31ma\033[30mb\033[0m\n"},
       }) {
    ColourMapper mapper(row.depth);
    std::string out;
    AppendColouredLine(row.text.data(), row.text.size(), row.tints.empty() ? nullptr : row.tints.data(), &mapper,
                       row.lineFeed, &out);
    EXPECT_EQ(out, row.expected) << ColourDepthName(row.depth) << " " << row.text;
  }
}

// Feeds bands and text in the order given; each line comes back with the
// red of its first character's tint (-1: none).
struct Step {
  int top, bottom;   // a band of these rows (bottom 0: text instead)
  int left;          // the band's first column
  std::string text;  // text to add
};

std::vector<std::string> Pair(const std::vector<Step>& steps) {
  RowLayout layout;
  layout.width = 2;
  layout.planes = 1;
  layout.mode = kImageModeGray;
  std::vector<std::string> lines;
  TextRows rows(layout, [&](const char* text, size_t size, const Tint* tints, bool lineFeed) {
    lines.push_back(std::string(text, size) + (lineFeed ? "|" : "") + "=" +
                    (tints != nullptr ? std::to_string(tints[0].r) : std::string("-")));
    return true;
  });
  // Row y's pixels are all (y, y, y); the samples do not matter here.
  std::vector<uint8_t> pixels, samples(32);
  for (int y = 0; y < 16; ++y)
    for (int i = 0; i < 6; ++i) pixels.push_back(static_cast<uint8_t>(y));
  for (const Step& s : steps) {
    if (s.bottom > 0) {
      rows.AddBand(s.top, s.bottom, s.left, 2, 0, 0, samples.data(), 2, pixels.data() + s.top * 6, 6);
    } else {
      rows.AddText(s.text.data(), s.text.size());
    }
  }
  rows.Finish();
  return lines;
}

TEST(TextRows, LinesPairWithTheirRowsHoweverTheTextArrives) {
  using Lines = std::vector<std::string>;
  // Text that lags two bands behind, split inside lines.
  EXPECT_EQ(Pair({{0, 2, 0, ""}, {2, 4, 0, ""}, {0, 0, 0, "ab\nc"}, {0, 0, 0, "d"}, {0, 0, 0, "\nef\ngh\n"}}),
            (Lines{"ab|=0", "cd|=1", "ef|=2", "gh|=3"}));
  // A band asked again changes nothing; a last line without a line feed.
  EXPECT_EQ(Pair({{0, 2, 0, ""}, {1, 3, 0, ""}, {0, 0, 0, "ab\ncd\nef"}}), (Lines{"ab|=0", "cd|=1", "ef=2"}));
  // A line of another length is not coloured, and the next keeps its row.
  EXPECT_EQ(Pair({{0, 3, 0, ""}, {0, 0, 0, "abc\ncd\nef\n"}}), (Lines{"abc|=-", "cd|=1", "ef|=2"}));
  // Rows skipped, or a band of part of a row: no colour from there on.
  EXPECT_EQ(Pair({{0, 1, 0, ""}, {2, 3, 0, ""}, {0, 0, 0, "ab\ncd\nef\n"}}), (Lines{"ab|=-", "cd|=-", "ef|=-"}));
  EXPECT_EQ(Pair({{0, 1, 0, ""}, {0, 0, 0, "ab\n"}, {1, 2, 1, ""}, {0, 0, 0, "cd\n"}}), (Lines{"ab|=0", "cd|=-"}));
}

TEST(Terminal, AnswersAndEnvironment) {
  struct Answer { std::string text; Background expected; };
  for (const Answer& a : std::vector<Answer>{
           {"\033]11;rgb:0000/0000/0000\033\\\033[?62;22c", Background::kDark},
           {"\033]11;rgb:ffff/ffff/ffff\033\\", Background::kLight},
           {"\033]11;rgb:f/f/f\007", Background::kLight},
           {"\033]11;rgba:1e1e/1e1e/1e1e/ffff\033\\", Background::kDark},
           {"typed\033]11;rgb:80/80/80\033\\", Background::kLight},  // luminance just above half
           {"\033]11;rgb:7f/7f/7f\033\\", Background::kDark},        // just below
           {"\033]11;rgb:ff/ff\033\\", Background::kUnknown},
           {"\033]11;rgb:fffff/0/0\033\\", Background::kUnknown},
           {"\033[?62;22c", Background::kUnknown},
       }) {
    EXPECT_EQ(BackgroundFromAnswer(a.text), a.expected) << a.text.substr(1);
  }
  struct FgBg { const char* value; Background expected; };
  for (const FgBg& f : {FgBg{"15;0", Background::kDark}, FgBg{"0;8", Background::kDark},
                        FgBg{"0;7", Background::kLight}, FgBg{"0;default;15", Background::kLight},
                        FgBg{"0;9", Background::kUnknown}, FgBg{"default;default", Background::kUnknown},
                        FgBg{"0;", Background::kUnknown}, FgBg{"0;1x", Background::kUnknown},
                        FgBg{nullptr, Background::kUnknown}}) {
    EXPECT_EQ(BackgroundFromColorFgBg(f.value), f.expected) << (f.value ? f.value : "(unset)");
  }

  static int colours = 0;
  auto terminfo = [](const char*) { return colours; };
  struct Depth { const char* term; const char* colorterm; int colours; ColourDepth expected; const char* xterm; };
  for (const Depth& d : {Depth{nullptr, "truecolor", 256, ColourDepth::kNone, nullptr},
                         Depth{"dumb", "truecolor", 256, ColourDepth::kNone, nullptr},
                         Depth{"xterm", "truecolor", 8, ColourDepth::kTrue, nullptr},
                         Depth{"xterm", "24bit", 8, ColourDepth::kTrue, nullptr},
                         Depth{"xterm", "yes", 256, ColourDepth::k256, nullptr},
                         Depth{"xterm", nullptr, 255, ColourDepth::k16, nullptr},
                         Depth{"xterm", nullptr, 16, ColourDepth::k16, nullptr},
                         Depth{"xterm", nullptr, 15, ColourDepth::k8, nullptr},
                         Depth{"xterm", nullptr, 8, ColourDepth::k8, nullptr},
                         Depth{"xterm", nullptr, 7, ColourDepth::kNone, nullptr},
                         Depth{"xterm", nullptr, -1, ColourDepth::kNone, nullptr},
                         // xterm itself says 8 and draws 256; what runs in it says for itself.
                         Depth{"xterm", nullptr, 8, ColourDepth::k256, "XTerm(379)"},
                         Depth{"xterm", nullptr, 8, ColourDepth::k8, ""},
                         Depth{"xterm-16color", nullptr, 16, ColourDepth::k16, "XTerm(379)"},
                         Depth{"screen", nullptr, 8, ColourDepth::k8, "XTerm(379)"},
                         Depth{"xterm", nullptr, -1, ColourDepth::kNone, "XTerm(379)"}}) {
    colours = d.colours;
    EXPECT_EQ(ColourDepthFrom(d.term, d.colorterm, d.xterm, terminfo), d.expected)
        << (d.term ? d.term : "(unset)") << " " << (d.colorterm ? d.colorterm : "") << " " << d.colours << " "
        << (d.xterm ? d.xterm : "");
  }
  // terminfo as Debian's ncurses-base has it.
  EXPECT_EQ(TerminfoColours("xterm-256color"), 256);
  EXPECT_EQ(TerminfoColours("xterm"), 8);
  EXPECT_EQ(TerminfoColours("dumb"), -1);
  EXPECT_EQ(TerminfoColours("no-such-terminal"), -1);
}

TEST(Terminal, RepliesAreToldFromTypedText) {
  // Each text taken a byte at a time: the replies found, the device
  // attributes and status reports among them, and where a byte turned out
  // to be no reply (-1: none did).
  struct Case { std::string text, replies; int attributes, reports, notReplyAt; };
  const std::string osc = "\033]11;rgb:ffff/ffff/ffff\033\\", da = "\033[?62;22c";
  for (const Case& c : std::vector<Case>{
           {osc + da, osc + da, 1, 0, -1},
           {"\033]11;rgb:0/0/0\007\033[?1;2c\033[0n", "\033]11;rgb:0/0/0\007\033[?1;2c\033[0n", 1, 1, -1},
           {da + "ls\n", da, 1, 0, 9},
           {"l" + osc, "", 0, 0, 0},
           {"\033[A", "", 0, 0, 2},           // an arrow key
           {"\033x", "", 0, 0, 1},            // Alt-x
           {"\033]11;a\033x", "", 0, 0, 7},  // ESC inside an OSC that does not end it
           {"\033]11;\n", "", 0, 0, 5},       // a line feed is no part of one
           {"\033[" + std::string(70, '1') + "c", "", 0, 0, 64},
       }) {
    ReplyScanner scanner;
    int notReplyAt = -1;
    for (size_t i = 0; i < c.text.size() && notReplyAt < 0; ++i) {
      if (scanner.Take(c.text[i]) == ReplyScanner::Step::kNotReply) notReplyAt = static_cast<int>(i);
    }
    EXPECT_EQ(scanner.replies(), c.replies) << c.text.substr(1);
    EXPECT_EQ(scanner.attributes(), c.attributes) << c.text.substr(1);
    EXPECT_EQ(scanner.statusReports(), c.reports) << c.text.substr(1);
    EXPECT_EQ(notReplyAt, c.notReplyAt) << c.text.substr(1);
    // Past a byte that is no reply, nothing counts as one.
    if (notReplyAt >= 0) {
      EXPECT_EQ(scanner.Take('\033'), ReplyScanner::Step::kNotReply);
    }
    EXPECT_EQ(scanner.Between(), notReplyAt < 0) << c.text.substr(1);
  }
}

}  // namespace
