#include "host/view/Colour.h"

#include <cmath>
#include <vector>

const char kResetSequence[] = "\033[0m";
const char kDefaultForegroundSequence[] = "\033[39m";

namespace {

// xterm's default basic colours.
const uint8_t kBasic[16][3] = {
    {0, 0, 0},       {205, 0, 0},     {0, 205, 0},     {205, 205, 0},
    {0, 0, 238},     {205, 0, 205},   {0, 205, 205},   {229, 229, 229},
    {127, 127, 127}, {255, 0, 0},     {0, 255, 0},     {255, 255, 0},
    {92, 92, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};
const uint8_t kCubeLevels[6] = {0, 95, 135, 175, 215, 255};

struct Lab {
  float l, a, b;
};

float Linear(float s) {
  s /= 255.0f;
  return s <= 0.04045f ? s / 12.92f : std::pow((s + 0.055f) / 1.055f, 2.4f);
}

// Björn Ottosson's OKLab, from sRGB.
Lab ToOkLab(float r8, float g8, float b8) {
  float r = Linear(r8), g = Linear(g8), b = Linear(b8);
  float l = std::cbrt(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
  float m = std::cbrt(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
  float s = std::cbrt(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
  return Lab{0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
             1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
             0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

// A tint barely seen, if at all: OKLab chroma under 0.04 (the palette's own
// greys have none).
bool IsGrey(const Lab& c) { return c.a * c.a + c.b * c.b < 0.04f * 0.04f; }

const char* const kDecimal[256] = {
#define GW_D10(n) #n "0", #n "1", #n "2", #n "3", #n "4", #n "5", #n "6", #n "7", #n "8", #n "9"
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
    "10", "11", "12", "13", "14", "15", "16", "17", "18", "19",
    GW_D10(2), GW_D10(3), GW_D10(4), GW_D10(5), GW_D10(6), GW_D10(7), GW_D10(8), GW_D10(9),
    GW_D10(10), GW_D10(11), GW_D10(12), GW_D10(13), GW_D10(14), GW_D10(15), GW_D10(16),
    GW_D10(17), GW_D10(18), GW_D10(19), GW_D10(20), GW_D10(21), GW_D10(22), GW_D10(23),
    GW_D10(24), "250", "251", "252", "253", "254", "255",
#undef GW_D10
};

}  // namespace

bool ParseColourDepth(const std::string& text, ColourDepth* depth) {
  if (text == "16") {
    *depth = ColourDepth::k16;
  } else if (text == "256") {
    *depth = ColourDepth::k256;
  } else if (text == "truecolor" || text == "24bit") {
    *depth = ColourDepth::kTrue;
  } else {
    return false;
  }
  return true;
}

const char* ColourDepthName(ColourDepth depth) {
  switch (depth) {
    case ColourDepth::kNone: return "none";
    case ColourDepth::k8: return "8";
    case ColourDepth::k16: return "16";
    case ColourDepth::k256: return "256";
    case ColourDepth::kTrue: return "truecolor";
  }
  return "none";
}

void PaletteColour(int index, uint8_t rgb[3]) {
  if (index < 16) {
    for (int c = 0; c < 3; ++c) rgb[c] = kBasic[index][c];
  } else if (index < 232) {
    int i = index - 16;
    rgb[0] = kCubeLevels[i / 36];
    rgb[1] = kCubeLevels[(i / 6) % 6];
    rgb[2] = kCubeLevels[i % 6];
  } else {
    rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(8 + 10 * (index - 232));
  }
}

struct ColourMapper::Table {
  int first = 0;  // the palette index of entry 0 of `palette`
  // With the basic colours, greys are matched among the palette's greys
  // alone. Those are few (black and white at 8 colours) and the others so
  // saturated that by plain distance a grey between black and white lies
  // nearer to red or cyan than to either.
  bool greysApart = false;
  std::vector<Lab> palette;
  std::vector<uint8_t> cells = std::vector<uint8_t>(size_t{1} << 21);
  std::vector<uint64_t> filled = std::vector<uint64_t>((size_t{1} << 21) / 64);
  std::vector<std::string> sequences;  // by palette index

  uint8_t Nearest(const Lab& c) const {
    size_t best = 0;
    float bestDistance = INFINITY;
    for (size_t i = 0; i < palette.size(); ++i) {
      float dl = palette[i].l - c.l, da = palette[i].a - c.a, db = palette[i].b - c.b;
      if (greysApart && IsGrey(c) && !IsGrey(palette[i])) continue;
      float d = dl * dl + da * da + db * db;
      if (d < bestDistance) {
        bestDistance = d;
        best = i;
      }
    }
    return static_cast<uint8_t>(first + static_cast<int>(best));
  }
};

ColourMapper::ColourMapper(ColourDepth depth) : depth_(depth) {
  if (depth != ColourDepth::k8 && depth != ColourDepth::k16 && depth != ColourDepth::k256) return;
  table_.reset(new Table);
  int first = depth == ColourDepth::k256 ? 16 : 0;
  int end = depth == ColourDepth::k256 ? 256 : depth == ColourDepth::k16 ? 16 : 8;
  table_->first = first;
  table_->greysApart = depth != ColourDepth::k256;
  for (int i = first; i < end; ++i) {
    uint8_t rgb[3];
    PaletteColour(i, rgb);
    table_->palette.push_back(ToOkLab(rgb[0], rgb[1], rgb[2]));
  }
  table_->sequences.resize(256);
  for (int i = 0; i < 256; ++i) {
    std::string& s = table_->sequences[i];
    if (depth == ColourDepth::k256) {
      s = std::string("\033[38;5;") + kDecimal[i] + "m";
    } else if (i < 8) {
      s = std::string("\033[3") + kDecimal[i] + "m";
    } else if (i < 16) {
      s = std::string("\033[9") + kDecimal[i - 8] + "m";
    }
  }
}

ColourMapper::~ColourMapper() = default;

int32_t ColourMapper::Code(uint8_t r, uint8_t g, uint8_t b) {
  if (depth_ == ColourDepth::kTrue) return (int32_t{r} << 16) | (int32_t{g} << 8) | b;
  if (!table_) return -1;
  size_t cell = (size_t{r} >> 1) << 14 | (size_t{g} >> 1) << 7 | (size_t{b} >> 1);
  uint64_t bit = uint64_t{1} << (cell & 63);
  if ((table_->filled[cell >> 6] & bit) == 0) {
    // The centre of the cell, so that the answer does not depend on which
    // of its colours came first.
    auto centre = [](uint8_t v) { return static_cast<float>(v & ~1) + 0.5f; };
    table_->cells[cell] = table_->Nearest(ToOkLab(centre(r), centre(g), centre(b)));
    table_->filled[cell >> 6] |= bit;
  }
  return table_->cells[cell];
}

void ColourMapper::AppendSequence(int32_t code, std::string* out) const {
  if (depth_ == ColourDepth::kTrue) {
    out->append("\033[38;2;");
    out->append(kDecimal[(code >> 16) & 0xFF]);
    out->push_back(';');
    out->append(kDecimal[(code >> 8) & 0xFF]);
    out->push_back(';');
    out->append(kDecimal[code & 0xFF]);
    out->push_back('m');
  } else if (table_ && code >= 0 && code < 256) {
    out->append(table_->sequences[static_cast<size_t>(code)]);
  }
}
