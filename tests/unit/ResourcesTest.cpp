// The module's property list, terminology and string table, read back from
// the built module as a host reads them, against bytes built here from the
// published layout (not from the resource scripts).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/ModuleFile.h"

namespace {

std::string U16(uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

std::string U32(uint32_t v) {
  return U16(static_cast<uint16_t>(v & 0xFFFF)) + U16(static_cast<uint16_t>(v >> 16));
}

// A four-character code as the module stores it: its 32-bit number,
// little-endian.
std::string Code(const char (&c)[5]) {
  return U32(static_cast<uint32_t>(static_cast<unsigned char>(c[0])) << 24 |
             static_cast<uint32_t>(static_cast<unsigned char>(c[1])) << 16 |
             static_cast<uint32_t>(static_cast<unsigned char>(c[2])) << 8 |
             static_cast<uint32_t>(static_cast<unsigned char>(c[3])));
}

std::string Pascal(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

// Text data: the text, a NUL, then zeros up to a multiple of 4.
std::string PaddedText(const std::string& s) {
  std::string out = s + '\0';
  while (out.size() % 4 != 0) out += '\0';
  return out;
}

std::string Property(const char (&key)[5], const std::string& data) {
  return Code("8BIM") + Code(key) + U32(0) + U32(static_cast<uint32_t>(data.size())) + data;
}

std::string ExpectedPropertyList() {
  const std::string enable =
      "in (PSHOP_ImageMode, GrayScaleMode,IndexedColorMode, RGBMode,CMYKMode, HSLMode,HSBMode, "
      "MultichannelMode,DuotoneMode, LabMode)";
  std::string hstm = U32(0) + Code("outA") + Code("null") + U32(16000) + PaddedText("");
  return U16(1) + U32(0) + U32(7) +
         Property("kind", Code("8BEM")) +
         Property("name", PaddedText(Pascal("Glyphweave..."))) +
         Property("vers", U32(0x00040000)) +
         Property("wx86", PaddedText("PluginMain")) +
         Property("hstm", hstm) +
         Property("mode", std::string("\x7F\xC0\0\0", 4)) +
         Property("enbl", PaddedText(enable));
}

std::string ExpectedTerminology() {
  std::string t = U16(1) + std::string("\x01\x00", 2) + U16(0) + U16(0) + U16(1);
  t += Pascal("Orvane") + Pascal("Orvane glyphweave.org") + Code("vlxm") + U16(1) + U16(1) + U16(0) +
       U16(1);
  t += Pascal("Orvane Glyphweave") + Code("outA") + Pascal("Glyphweave Plug-in") + U16(2);
  t += Pascal("<Inheritance>") + Code("c@#^") + Code("Expr") + Pascal("parent class export") +
       U16(0x1000);
  t += Pascal("in") + Code("In  ") + Code("Pth ") + Pascal("file path") + U16(0x1000);
  t += U16(0) + U16(0) + U16(0);
  return t;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
    out += ' ';
  }
  return out;
}

}  // namespace

TEST(ModuleResources, PropertyListIsByteExact) {
  std::string pipl;
  ASSERT_TRUE(ModuleResource("PIPL", 0, 16000, &pipl)) << "no PIPL 16000 in US English";
  std::string expected = ExpectedPropertyList();
  ASSERT_EQ(expected.size(), 310u);
  EXPECT_EQ(pipl.size(), 310u);
  EXPECT_EQ(Hex(pipl), Hex(expected));
  // Landmarks a host relies on.
  EXPECT_EQ(pipl.substr(10, 4), "MIB8");
  EXPECT_EQ(pipl.substr(166 + 4, 4), "lbne") << "'enbl' starts at byte 166";
  EXPECT_EQ(pipl.substr(30 + 12, 4), U32(16)) << "'name' data is 16 bytes";
}

TEST(ModuleResources, TerminologyHasNoAlignmentBytes) {
  std::string aete;
  ASSERT_TRUE(ModuleResource("AETE", 0, 16000, &aete));
  std::string expected = ExpectedTerminology();
  EXPECT_EQ(Hex(aete), Hex(expected));
  // "Orvane" takes 7 bytes; the description follows at once.
  EXPECT_EQ(aete.substr(10, 7), "\x06Orvane");
  EXPECT_EQ(static_cast<unsigned char>(aete[17]), 21u);
}

TEST(ModuleResources, StringTableAsTheAnsiLoaderGivesIt) {
  std::string s;
  ASSERT_TRUE(ModuleString(16000, &s));
  EXPECT_EQ(s,
            "Glyphweave\n\nVersion 0.001 Release 1 (12/2001)\nCopyright \xA9 2026 Glyphweave.\n"
            "All rights reserved.\n\nGlyphweave plug-in module");
  EXPECT_LE(s.size(), 254u) << "the About box shows at most 254 characters";

  EXPECT_FALSE(ModuleString(16001, &s)) << "16001 must not exist: the About caption stays empty";

  ASSERT_TRUE(ModuleString(16002, &s));
  EXPECT_EQ(s.find('\n'), std::string::npos);
  EXPECT_EQ(s.substr(0, 14), "Glyphweave\\n\\n");
  EXPECT_EQ(s.substr(s.size() - 8), "\\n\\n\\n\\n");

  ASSERT_TRUE(ModuleString(16992, &s));
  EXPECT_EQ(s, "This plug-in requires Adobe Photoshop\xAE ^1 or later functionality.");

  const struct {
    unsigned id;
    const char* text;
  } plain[] = {
      {16100, "Vantor export to file:"},
      {16101, "????????"},
      {16990, "An integer is required between ^1 and ^2."},
      {16991, "A decimal number is required between ^1 and ^2."},
      {16993, "This plug-in is incompatible with this version of the host program."},
      {16994, "the required suite \\'^0\\' is unavailable"},
  };
  for (const auto& p : plain) {
    ASSERT_TRUE(ModuleString(p.id, &s)) << p.id;
    EXPECT_EQ(s, p.text) << p.id;
  }
}
