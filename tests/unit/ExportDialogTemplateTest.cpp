// The dialog template EXPORTPARAM, read back from the built module and taken
// apart field by field as the dialog manager reads a DLGTEMPLATE. The
// expected values are the published table, written out here, not taken from
// the resource script.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/ModuleFile.h"

namespace {

const unsigned kDialogResourceType = 5;  // RT_DIALOG

// A name or ordinal field of a template: 0x0000 = none, 0xFFFF = an ordinal
// follows, else a NUL-terminated UTF-16 string.
struct NameOrOrdinal {
  bool present = false;
  bool isOrdinal = false;
  uint16_t ordinal = 0;
  std::string text;  // ASCII texts only in this template
};

struct Control {
  uint32_t style = 0, exStyle = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint16_t id = 0;
  NameOrOrdinal windowClass, text;
  uint16_t creationDataSize = 0;
};

struct Template {
  uint32_t style = 0, exStyle = 0;
  uint16_t count = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  NameOrOrdinal menu, windowClass;
  std::string caption;
  uint16_t pointSize = 0;
  std::string font;
  std::vector<Control> controls;
  size_t end = 0;  // where the last control ended
};

struct Reader {
  const std::string& bytes;
  size_t at = 0;
  bool overrun = false;

  uint16_t U16() {
    if (at + 2 > bytes.size()) {
      overrun = true;
      return 0;
    }
    uint16_t v = static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                       static_cast<unsigned char>(bytes[at + 1]) << 8);
    at += 2;
    return v;
  }
  uint32_t U32() {
    uint32_t low = U16();
    return low | static_cast<uint32_t>(U16()) << 16;
  }
  int16_t S16() { return static_cast<int16_t>(U16()); }
  std::string Text() {
    std::string s;
    for (uint16_t c = U16(); c != 0 && !overrun; c = U16()) {
      s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
  }
  NameOrOrdinal Field() {
    NameOrOrdinal f;
    uint16_t first = U16();
    if (first == 0) return f;
    f.present = true;
    if (first == 0xFFFF) {
      f.isOrdinal = true;
      f.ordinal = U16();
      return f;
    }
    at -= 2;
    f.text = Text();
    return f;
  }
  void AlignTo4() { at = (at + 3) & ~size_t{3}; }
};

Template Parse(const std::string& bytes, bool* ok) {
  Reader r{bytes};
  Template t;
  t.style = r.U32();
  t.exStyle = r.U32();
  t.count = r.U16();
  t.x = r.S16();
  t.y = r.S16();
  t.cx = r.S16();
  t.cy = r.S16();
  t.menu = r.Field();
  t.windowClass = r.Field();
  t.caption = r.Text();
  if (t.style & 0x40) {  // DS_SETFONT
    t.pointSize = r.U16();
    t.font = r.Text();
  }
  for (uint16_t i = 0; i < t.count && !r.overrun; ++i) {
    r.AlignTo4();
    Control c;
    c.style = r.U32();
    c.exStyle = r.U32();
    c.x = r.S16();
    c.y = r.S16();
    c.cx = r.S16();
    c.cy = r.S16();
    c.id = r.U16();
    c.windowClass = r.Field();
    c.text = r.Field();
    c.creationDataSize = r.U16();
    r.at += c.creationDataSize;
    t.controls.push_back(c);
  }
  t.end = r.at;
  *ok = !r.overrun && t.end <= bytes.size();
  return t;
}

// The predefined classes are stored as atoms by resource compilers; a class
// name spelled out means the same to the dialog manager, in any case.
std::string ClassName(const NameOrOrdinal& f) {
  if (f.isOrdinal) {
    switch (f.ordinal) {
      case 0x80: return "button";
      case 0x81: return "edit";
      case 0x82: return "static";
      default: return "atom " + std::to_string(f.ordinal);
    }
  }
  std::string lower = f.text;
  for (char& ch : lower) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
  return lower;
}

}  // namespace

TEST(ExportDialogTemplate, MatchesTheTableFieldByField) {
  std::string bytes;
  ASSERT_TRUE(ModuleNamedResource(kDialogResourceType, "EXPORTPARAM", &bytes))
      << "no dialog EXPORTPARAM in US English";
  ASSERT_GE(bytes.size(), 18u);
  ASSERT_NE(bytes.substr(0, 4), std::string("\x01\x00\xFF\xFF", 4))
      << "a DLGTEMPLATEEX; the dialog is a plain DLGTEMPLATE";

  bool ok = false;
  Template t = Parse(bytes, &ok);
  ASSERT_TRUE(ok) << "the template runs past its " << bytes.size() << " bytes";

  EXPECT_EQ(t.style, 0x80C000C0u) << std::hex << t.style;
  EXPECT_EQ(t.style & 0x00080000u, 0u) << "no system menu";
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.x, 36);
  EXPECT_EQ(t.y, 28);
  EXPECT_EQ(t.cx, 160);
  EXPECT_EQ(t.cy, 44);
  EXPECT_FALSE(t.menu.present) << "no menu";
  EXPECT_FALSE(t.windowClass.present) << "the default dialog class";
  EXPECT_EQ(t.caption, "ExportVantor");
  EXPECT_EQ(t.pointSize, 8);
  EXPECT_EQ(t.font, "Helv");

  const struct {
    uint16_t id;
    const char* windowClass;
    const char* text;  // null: no text at all
    int16_t x, y, cx, cy;
    uint32_t style;
  } expected[] = {
      {3, "static", "File &Name:", 6, 6, 76, 9, 0x50020000u},
      {4, "edit", nullptr, 6, 16, 92, 12, 0x50810480u},
      {1, "button", "OK", 104, 6, 50, 14, 0x50030001u},
      {2, "button", "Cancel", 104, 24, 50, 14, 0x50030000u},
  };
  ASSERT_EQ(t.count, 4u);
  ASSERT_EQ(t.controls.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const Control& c = t.controls[i];
    const auto& e = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + ", id " + std::to_string(e.id));
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(ClassName(c.windowClass), e.windowClass);
    if (e.text == nullptr) {
      // An empty text may be stored as no text or as an empty string.
      EXPECT_TRUE(!c.text.present || (!c.text.isOrdinal && c.text.text.empty()));
    } else {
      EXPECT_FALSE(c.text.isOrdinal);
      EXPECT_EQ(c.text.text, e.text);
    }
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.cx, e.cx);
    EXPECT_EQ(c.cy, e.cy);
    EXPECT_EQ(c.style, e.style) << std::hex << c.style;
    EXPECT_EQ(c.exStyle, 0u);
    EXPECT_EQ(c.creationDataSize, 0u) << "no creation data";
  }
  // Nothing after the last control but padding to a 4-byte boundary.
  EXPECT_LE(bytes.size() - t.end, 3u);
  EXPECT_EQ(bytes.substr(t.end), std::string(bytes.size() - t.end, '\0'));
}
