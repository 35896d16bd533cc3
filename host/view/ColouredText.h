// The text of one export on its way to standard output, each character
// coloured as the sample or pixel it came from: the plug-in's text is fed
// in as it is copied, the bands as they are served, and whole coloured
// lines go out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/view/Colour.h"
#include "host/view/TextRows.h"

class ColouredText {
 public:
  using Writer = bool (*)(const void* data, size_t size);

  // `mapper` at kNone, or a layout without colour, gives the text as it is.
  ColouredText(const RowLayout& layout, ColourMapper* mapper, Writer write);

  // False when the text goes out unchanged: nothing to colour.
  bool Coloured() const { return coloured_; }
  bool WantsPixels() const { return coloured_ && rows_.WantsPixels(); }
  TextRows& rows() { return rows_; }

  // Text the plug-in wrote; false once a write has failed.
  bool Add(const char* data, size_t size);
  // The end of the text.
  bool Finish();

 private:
  bool Flush();

  ColourMapper* mapper_;
  Writer write_;
  bool coloured_;
  bool failed_ = false;
  std::string out_;
  TextRows rows_;
};

// Appends one line of `size` characters (without its line feed), character
// i in tints[i] (null: no colour at all), and the line feed. A sequence is
// written only where the colour changes, and not for spaces, of which no
// colour shows; a line that ends coloured is reset before its line feed, so
// the terminal never stays coloured between lines.
void AppendColouredLine(const char* text, size_t size, const Tint* tints, ColourMapper* mapper,
                        bool lineFeed, std::string* out);
