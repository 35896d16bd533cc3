// The text of one export as a web page: a self-contained HTML document
// (UTF-8, no scripts, nothing fetched) holding the plug-in's text in a
// <pre>, each character exactly as the plug-in wrote it once the browser
// has read the page. Coloured, each character takes the colour it has in
// the terminal view (24-bit), and a run of characters of one colour is one
// element, across line ends too. The page goes out as the text comes in, in
// writes of a bounded size: it is never held whole (a large photo gives a
// page of gigabytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "host/view/RunWalker.h"
#include "host/view/TextRows.h"

struct PageLook {
  std::string title;        // the page's title, UTF-8
  double cellAspect = 2.0;  // line height in character widths
  bool dark = false;        // light text on black, else dark text on white
  bool colour = false;      // characters in their samples' or pixels' colours
};

class Page final : private RunTarget {
 public:
  // Takes the page's bytes in order; false stops the page.
  using Writer = std::function<bool(const void* data, size_t size)>;

  Page(const RowLayout& layout, const PageLook& look, Writer write);

  // Whether the characters are coloured, so the bands must be paired.
  bool Coloured() const { return coloured_; }
  bool WantsPixels() const { return coloured_ && rows_.WantsPixels(); }
  TextRows& rows() { return rows_; }

  // Text the plug-in wrote, any amount; false once a write has failed.
  bool Add(const char* data, size_t size);
  // The end of the text and of the page.
  bool Finish();

 private:
  friend class RunWalker<Page>;
  // A run of one colour is one element: 0xRRGGBB, whatever a terminal shows.
  RunColour ColourOf(const Tint& tint) override;
  void Text(const char* text, size_t size) override;
  void Change(const RunColour& from, const RunColour& to) override;
  void End(const RunColour& open) override;
  bool Flush();

  Writer write_;
  bool coloured_;
  bool failed_ = false;
  std::string out_;
  RunWalker<Page> runs_;
  TextRows rows_;
};
