// The host's own pieces: band delivery with read-ahead (guesses that come
// true and guesses that do not), property lists, and recorded steps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/hosting/BandReader.h"
#include "host/cli/Messages.h"
#include "host/cli/Progress.h"
#include "host/hosting/PropertyList.h"
#include "host/cli/StepFile.h"
#include "host/image/input/ImageSource.h"
#include "host/view/Player.h"
#include "platform/PrintableText.h"

namespace {

// A grey image whose sample at (x, y) is (x * 7 + y * 13) mod 256.
uint8_t Sample(int x, int y) { return static_cast<uint8_t>((x * 7 + y * 13) & 0xFF); }

ImageFile* OpenTestImage(int width, int height, ImageInfo* info) {
  std::string pgm = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) pgm += static_cast<char>(Sample(x, y));
  // One byte more than the image: a memory stream keeps a NUL after what is written.
  FILE* stream = fmemopen(nullptr, pgm.size() + 1, "w+");
  std::fwrite(pgm.data(), 1, pgm.size(), stream);
  std::rewind(stream);
  ImageFile* image = nullptr;
  std::string error;
  EXPECT_TRUE(OpenImageStream(stream, "test.pgm", ImageOptions{}, &image, info, &error)) << error;
  return image;
}

void ExpectBand(BandReader* reader, int top, int bottom, int left, int right) {
  BandArea area{top, bottom, left, right, 0, 0, right - left,
                static_cast<size_t>((bottom - top) * (right - left))};
  std::string error;
  const uint8_t* data = ReadBand(reader, area, &error);
  ASSERT_NE(data, nullptr) << error;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x)
      ASSERT_EQ(data[(y - top) * (right - left) + (x - left)], Sample(x, y))
          << "band " << top << ".." << bottom << " at " << x << "," << y;
}

}  // namespace

TEST(BandReader, DeliversWhatIsAskedWhateverTheGuess) {
  ReadAheadWorker* worker = NewReadAheadWorker();
  // The same worker serves one image after another; none at all decodes on request.
  for (ReadAheadWorker* ahead : {worker, worker, static_cast<ReadAheadWorker*>(nullptr)}) {
    ImageInfo info;
    ImageFile* image = OpenTestImage(37, 50, &info);
    ASSERT_NE(image, nullptr);
    BandReader* reader = StartBandReader(image, info.height, ahead);
    ExpectBand(reader, 0, 8, 0, 37);    // the guess: 8..16
    ExpectBand(reader, 8, 16, 0, 37);   // taken
    ExpectBand(reader, 16, 20, 0, 37);  // shorter than guessed
    ExpectBand(reader, 3, 9, 0, 37);    // backwards
    ExpectBand(reader, 9, 15, 5, 20);   // narrower
    ExpectBand(reader, 44, 50, 0, 37);  // a jump to the last rows
    ExpectBand(reader, 0, 50, 0, 37);   // everything
    StopBandReader(reader);
    CloseImage(image);
  }
  DeleteReadAheadWorker(worker);
}

TEST(BandReader, StopsCleanlyWithAGuessInFlight) {
  ImageInfo info;
  ReadAheadWorker* worker = NewReadAheadWorker();
  ImageFile* image = OpenTestImage(1000, 400, &info);
  BandReader* reader = StartBandReader(image, info.height, worker);
  ExpectBand(reader, 0, 100, 0, 1000);
  StopBandReader(reader);  // while rows 100..200 may still be decoding
  CloseImage(image);
  DeleteReadAheadWorker(worker);
}

namespace {

std::string U32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

std::string Property(const char* key, const std::string& data) {
  return "MIB8" + std::string{key[3], key[2], key[1], key[0]} + U32(0) +
         U32(static_cast<uint32_t>(data.size())) + data;
}

}  // namespace

TEST(PropertyList, ReadsKindNameVersionAndEntry) {
  std::string list = std::string("\1\0", 2) + U32(0) + U32(4) + Property("kind", "MEB8") +
                     Property("name", std::string("\4Test\0\0\0", 8)) + Property("vers", U32(0x40000)) +
                     Property("wx86", std::string("Main\0\0\0\0", 8));
  PropertyListInfo info;
  std::string error;
  ASSERT_TRUE(ParsePropertyList(list, &info, &error)) << error;
  EXPECT_EQ(FourCharText(info.kind), "8BEM");
  EXPECT_EQ(info.name, "Test");
  EXPECT_EQ(info.version, 0x40000u);
  EXPECT_EQ(info.entryPoint, "Main");

  // Cut anywhere inside a property: refused, never read past the end.
  for (size_t cut = 10; cut < list.size(); ++cut) {
    PropertyListInfo partial;
    std::string shortList = list.substr(0, cut);
    bool ok = ParsePropertyList(shortList, &partial, &error);
    EXPECT_FALSE(ok && partial.entryPoint == "Main") << "cut at " << cut;
  }
  EXPECT_FALSE(ParsePropertyList("short", &info, &error));
}

TEST(StepFile, RoundTripsPathsThatAreNotUtf8) {
  // Each of these once passed a too lenient check and made the JSON writer
  // throw: overlong forms, a surrogate, lead bytes beyond U+10FFFF.
  // (path, kept as text rather than hex)
  const std::pair<std::string, bool> rows[] = {
      {"/home/me/out/", true},          {"/tmp/\xff\xfe.txt", false},      {"/tmp/\xc0\xaf/", false},
      {"/tmp/\xed\xa0\x80/", false},     {"/tmp/\xf5\x80\x80\x80/", false}, {"/tmp/\xf4\x90\x80\x80/", false},
      {"/tmp/\xe0\x80\xaf/", false},     {"/tmp/caf\xc3\xa9/", true},        {"/tmp/caf\xc3\xa9", true}};
  for (const auto& [path, text] : rows) {
    RecordedStep step;
    step.parameters.push_back({FourCharCode('I', 'n', ' ', ' '), path});
    RecordedStep back;
    std::string error;
    std::string json = StepToJson(step);
    ASSERT_TRUE(StepFromJson(json, &back, &error)) << error;
    ASSERT_EQ(back.parameters.size(), 1u);
    EXPECT_EQ(back.parameters[0].alias, path);
    EXPECT_EQ(json.find("\"pathHex\"") == std::string::npos, text) << json;
  }
}

TEST(StepFile, RefusesWhatIsNotAStep) {
  RecordedStep step;
  std::string error;
  const char* bad[] = {
      "", "[]", "{\"format\": \"other\", \"version\": 1}",
      "{\"format\": \"glyphweave-step\", \"version\": 2, \"parameters\": []}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"text\", \"path\": \"x\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\", \"pathHex\": \"zz\"}]}",
      // A path cut at a NUL, an empty one, two answers to one question.
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\", \"path\": \"/tmp/a\\u0000b/\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\", \"pathHex\": \"2f00\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\", \"path\": \"\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\", \"path\": \"/a/\"}, "
      "{\"key\": \"In  \", \"type\": \"alias\", \"path\": \"/b/\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In  \", \"type\": \"alias\", \"path\": \"/a/\", \"pathHex\": \"2f\"}]}",
      // Keys that could not be written back as they were read.
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"I\\n  \", \"type\": \"alias\", \"path\": \"/a/\"}]}",
      "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": [{\"key\": \"In \\u007f\", \"type\": \"alias\", \"path\": \"/a/\"}]}",
  };
  for (const char* text : bad) {
    error.clear();
    EXPECT_FALSE(StepFromJson(text, &step, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  // The longest path the plug-in takes is 255 bytes; hex digits in either case.
  auto withPath = [](const std::string& field) {
    return "{\"format\": \"glyphweave-step\", \"version\": 1, \"parameters\": "
           "[{\"key\": \"In  \", \"type\": \"alias\", " + field + "}]}";
  };
  EXPECT_TRUE(StepFromJson(withPath("\"path\": \"" + std::string(255, 'p') + "\""), &step, &error)) << error;
  EXPECT_FALSE(StepFromJson(withPath("\"path\": \"" + std::string(256, 'p') + "\""), &step, &error));
  ASSERT_TRUE(StepFromJson(withPath("\"pathHex\": \"2F746D702F\""), &step, &error)) << error;
  EXPECT_EQ(step.parameters[0].alias, "/tmp/");
}

TEST(StepFile, NestingDeeperThanTheLimitIsRefusedWhetherListsOrObjects) {
  // An unknown field nested `levels` deep below the document, which is one
  // level itself.
  for (bool lists : {true, false}) {
    for (int levels : {kDeepestStepNesting - 1, kDeepestStepNesting}) {
      std::string nested;
      for (int i = 0; i < levels; ++i) nested += lists ? "[" : "{\"a\": ";
      nested += "1" + std::string(static_cast<size_t>(levels), lists ? ']' : '}');
      RecordedStep step;
      std::string error;
      bool read = StepFromJson("{\"format\": \"glyphweave-step\", \"version\": 1, \"deep\": " + nested + "}",
                               &step, &error);
      bool fits = levels + 1 <= kDeepestStepNesting;
      EXPECT_EQ(read, fits) << levels << (lists ? " lists: " : " objects: ") << error;
      if (!fits) {
        EXPECT_NE(error.find("nested more than"), std::string::npos) << error;
      }
    }
  }
}

TEST(StepFile, UnknownFieldsAndKeysAreWarnedAboutAndKept) {
  RecordedStep step;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(StepFromJson("{\"format\": \"glyphweave-step\", \"version\": 1, \"note\": 1, \"parameters\": ["
                           "{\"key\": \"In  \", \"type\": \"alias\", \"path\": \"/o/\", \"when\": 2},"
                           "{\"key\": \"Zz  \", \"type\": \"alias\", \"path\": \"/z\"}]}",
                           &step, &error, &warnings))
      << error;
  EXPECT_EQ(step.parameters.size(), 2u);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_NE(warnings[0].find("\"note\""), std::string::npos);
  EXPECT_NE(warnings[1].find("\"when\""), std::string::npos);
  EXPECT_NE(warnings[2].find("Zz  "), std::string::npos);
}

// The columns `text` takes, for the characters the labels below use; -1
// when it is not UTF-8 or holds a control character.
int Columns(const std::string& text) {
  int columns = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : 0;
    if (n == 0 || i + n > text.size()) return -1;
    uint32_t cp = n == 1 ? c : c & (n == 2 ? 0x1F : 0x0F);
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return -1;
      cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0x202A && cp <= 0x202E)) return -1;
    const bool combining = (cp >= 0x300 && cp < 0x370) || (cp >= 0x64B && cp < 0x660);
    columns += combining ? 0 : cp >= 0x3000 && cp < 0xA000 ? 2 : 1;
    i += n;
  }
  return columns;
}

TEST(ProgressText, StaysOnOneLineAtAnyWidth) {
  // Under a UTF-8 locale, names in Arabic (two bytes a letter, vowel marks
  // that combine), in CJK (three bytes, two columns) and with combining
  // accents are cut between whole characters and measured in columns; what
  // could act on the terminal is escaped.
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string labels[] = {
      "a/rather/long/folder/name/with/a/photo.jpg",
      "/tmp/\xd8\xb5\xd9\x88\xd8\xb1\xd8\xa9-\xd8\xb4\xd9\x85\xd8\xb3\xd9\x8e\xd9\x8a\xd9\x91"
      "\xd8\xa9-\xd8\xb7\xd9\x88\xd9\x8a\xd9\x84\xd8\xa9-\xd8\xac\xd8\xaf\xd9\x8b\xd8\xa7.png",
      "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe9\x95\xb7\xe3\x81\x84\xe5\x90\x8d"
      "\xe5\x89\x8d\xe3\x81\xae\xe5\x86\x99\xe7\x9c\x9f\xe3\x81\xa7\xe3\x81\x99.jpg",
      "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81"
      "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81" "e\xcc\x81.png",
      "evil\x1b]52;c;aGVsbG8=\x07\x1b[2J\xc2\x9b\x9b\xe2\x80\xae.png",
  };
  for (const std::string& label : labels) {
    for (int columns = 10; columns <= 200; ++columns) {
      for (int32_t done : {0, 1234, 99999}) {
        std::string text = ProgressText(label, done, 99999, 3.5, columns);
        const int width = Columns(text);
        EXPECT_GE(width, 0) << columns << ": " << text;
        EXPECT_LE(width, columns - 1) << columns << ": " << text;
        EXPECT_NE(text.find('%'), std::string::npos) << columns << ": " << text;
        // A label cut short keeps its end (every one ends in "g").
        if (text.compare(0, 3, "...") == 0) {
          EXPECT_EQ(text.find("g ["), text.find(" [") - 1) << text;
        }
      }
    }
  }
  EXPECT_NE(ProgressText(labels[4], 1, 2, 1, 160).find(PrintableText(labels[4])), std::string::npos);
  // Wide enough, everything shows.
  for (const std::string& label : {labels[0], labels[1], labels[2]}) {
    std::string wide = ProgressText(label, 50, 100, 2, 160);
    EXPECT_NE(wide.find(label), std::string::npos) << wide;
    EXPECT_NE(wide.find("50/100 rows"), std::string::npos) << wide;
    EXPECT_NE(wide.find("0:02 left"), std::string::npos) << wide;
  }
}

// Browsers show a frame the file gives 10 ms or less for 100 ms.
TEST(Player, ShortDelaysAreShownAsBrowsersShowThem) {
  const int32_t cases[][2] = {{0, 100}, {10, 100}, {11, 11}, {20, 20}, {65535, 65535}};
  for (const auto& c : cases) EXPECT_EQ(ShownDelay(c[0]), c[1]) << c[0];
}

TEST(Printable, EscapesWhatCouldMoveBreakOrReorderTheLine) {
  // Every C0 control and DEL, between letters.
  for (int c = 0; c < 0x20 || c == 0x7F; c = c == 0x1F ? 0x7F : c + 1) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    std::string expected = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : hex;
    EXPECT_EQ(Printable("a" + std::string(1, static_cast<char>(c)) + "b"), "a" + expected + "b") << c;
  }
  // Each escaped code point with its neighbours on both sides, which pass.
  const std::pair<const char*, const char*> rows[] = {
      {"\xc2\x80", "\\xc2\\x80"},          {"\xc2\x9f", "\\xc2\\x9f"},  // C1 controls as UTF-8
      {"\xc2\xa0", "\xc2\xa0"},              {"\x9b", "\\x9b"},            // no-break space; a raw C1 byte
      {"\xd8\x9b", "\xd8\x9b"},              {"\xd8\x9c", "\\u061c"},       // U+061B, U+061C
      {"\xd8\x9d", "\xd8\x9d"},              {"\xe2\x80\x8d", "\xe2\x80\x8d"},  // U+061D, U+200D
      {"\xe2\x80\x8e", "\\u200e"},           {"\xe2\x80\x8f", "\\u200f"},
      {"\xe2\x80\x90", "\xe2\x80\x90"},     {"\xe2\x80\xa7", "\xe2\x80\xa7"},  // U+2010, U+2027
      {"\xe2\x80\xa8", "\\u2028"},           {"\xe2\x80\xa9", "\\u2029"},
      {"\xe2\x80\xaa", "\\u202a"},           {"\xe2\x80\xae", "\\u202e"},
      {"\xe2\x80\xaf", "\xe2\x80\xaf"},     {"\xe2\x81\xa5", "\xe2\x81\xa5"},  // U+202F, U+2065
      {"\xe2\x81\xa6", "\\u2066"},           {"\xe2\x81\xa9", "\\u2069"},
      {"\xe2\x81\xaa", "\xe2\x81\xaa"},                                        // U+206A
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
      // Not UTF-8: a stray byte, overlong, a surrogate, beyond U+10FFFF, cut short.
      {"\xff", "\\xff"},                     {"\xc0\xaf", "\\xc0\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"\xe2\x80", "\\xe2\\x80"},        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
      {"\xc3(", "\\xc3("},                {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},  // a lead byte alone; CSI
  };
  for (const auto& row : rows) {
    std::string shown = Printable(std::string("<") + row.first + ">");
    EXPECT_EQ(shown, std::string("<") + row.second + ">") << row.second;
    EXPECT_EQ(Printable(shown), shown) << row.second;
    EXPECT_EQ(Printable(row.first), row.second);  // at the very start and end of a name
    EXPECT_EQ(PrintableText(std::string("<") + row.first + ">"), shown);  // the plug-in's own, alike
  }
}

TEST(Messages, SizesAreWordedInTheSingularForOne) {
  EXPECT_EQ(DescribeBytes(1), "1 byte");
  EXPECT_EQ(DescribeBytes(0), "0 bytes");
  EXPECT_EQ(DescribeBytes(2), "2 bytes");
}
