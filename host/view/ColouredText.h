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
