// Colour for text on a terminal: the colours a terminal can show at each
// depth, the nearest of them to a pixel, and the escape sequences (SGR)
// that select them, written only where the colour changes.
//
// Palettes are matched in OKLab, where equal distances look about equally
// different: 256 colours use the 6 x 6 x 6 cube and the 24 greys of the
// xterm palette (16-255), never the first 16, whose look each terminal
// theme chooses; 16 and 8 colours use the basic colours as xterm shows them
// by default, since nothing better is known of them; greys among their
// greys alone, so that they stay grey.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum class ColourDepth : int8_t {
  kNone,   // no colour at all
  k8,      // the eight basic colours, SGR 30-37
  k16,     // and their bright forms, SGR 90-97
  k256,    // the xterm palette, SGR 38;5;N
  kTrue,   // 24-bit, SGR 38;2;R;G;B
};

// "16", "256", "truecolor" (also "24bit") and back; false for anything else.
bool ParseColourDepth(const std::string& text, ColourDepth* depth);
const char* ColourDepthName(ColourDepth depth);

// One character's colour: sRGB, or (set false) the terminal's own.
struct Tint {
  uint8_t r = 0, g = 0, b = 0;
  bool set = false;
};

// The colour the xterm palette shows at `index` (0-255).
void PaletteColour(int index, uint8_t rgb[3]);

// Chooses colours at one depth. The nearest palette colour is looked up in
// a table of 128 x 128 x 128 cells (pairs of levels in each channel), each
// filled the first time a colour in it is met, so an image of any size
// costs at most one search per cell. Not safe to share between threads.
class ColourMapper {
 public:
  explicit ColourMapper(ColourDepth depth);
  ~ColourMapper();
  ColourMapper(const ColourMapper&) = delete;
  ColourMapper& operator=(const ColourMapper&) = delete;

  ColourDepth depth() const { return depth_; }
  // The palette index (k8, k16, k256) or 0xRRGGBB (kTrue); -1 for kNone.
  int32_t Code(uint8_t r, uint8_t g, uint8_t b);
  // Appends the sequence that makes `code` the foreground colour.
  void AppendSequence(int32_t code, std::string* out) const;

 private:
  struct Table;
  ColourDepth depth_;
  std::unique_ptr<Table> table_;
};

// The sequence that sets every attribute back to the terminal's own.
extern const char kResetSequence[];
// The sequence that gives the foreground back to the terminal.
extern const char kDefaultForegroundSequence[];
