// Walks the lines of the plug-in's text in runs of one colour, for every
// view that colours them: a terminal (a sequence where the colour changes)
// and a web page (an element per run). The view says which colour a
// character is drawn in and how a run begins and ends; the walker decides
// where runs begin and end, the same way for both. A blank shows no ink, so
// it joins whatever run it is in; a line without colour ends the run open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "host/view/Colour.h"

// The colour a run is drawn in, as its view codes it: a terminal's palette
// index or 0xRRGGBB, a page's 0xRRGGBB. Every character of a run has all of
// it; -1 is the view's own colour.
struct RunColour {
  int32_t ink = -1;

  // Nothing of the view's own changed: a run in it needs no end.
  bool Plain() const { return ink < 0; }
  bool operator==(const RunColour& other) const { return ink == other.ink; }
  bool operator!=(const RunColour& other) const { return !(*this == other); }
};

// What a view does with the runs it is walked through.
class RunTarget {
 public:
  virtual ~RunTarget() = default;
  // The colour a character of tint `tint` is drawn in.
  virtual RunColour ColourOf(const Tint& tint) = 0;
  // Characters of the run that is open, a line feed among them.
  virtual void Text(const char* text, size_t size) = 0;
  // The run in `from` gives way to one in `to`, in the middle of the text.
  virtual void Change(const RunColour& from, const RunColour& to) = 0;
  // The run in `open` (never Plain) ends: the view's own colour follows.
  virtual void End(const RunColour& open) = 0;
};

// `Target`: a RunTarget whose overrides are final, so that the walker
// calls them directly, once for every character.
template <class Target>
class RunWalker {
 public:
  // `acrossLines`: a run goes on over line ends (one element of a page
  // across lines), else every line ends its run before its line feed (a
  // terminal left coloured would colour whatever comes next, a prompt too).
  RunWalker(Target* target, bool acrossLines) : target_(target), acrossLines_(acrossLines) {}

  // One line of `size` characters without its line feed (`lineFeed` false
  // for a last line that has none), character i in the colour of tints[i];
  // null: the line has no colour at all.
  void Line(const char* text, size_t size, const Tint* tints, bool lineFeed) {
    static_assert(std::is_base_of<RunTarget, Target>::value, "a run walker walks for a RunTarget");
    size_t start = 0;  // the first character not yet given to the target
    if (tints == nullptr) End();
    for (size_t i = 0; tints != nullptr && i < size; ++i) {
      // A blank shows no ink: it joins whatever run it is in.
      if (text[i] == ' ') continue;
      const RunColour colour = target_->ColourOf(tints[i]);
      if (colour == open_) continue;
      target_->Text(text + start, i - start);
      start = i;
      target_->Change(open_, colour);
      open_ = colour;
    }
    target_->Text(text + start, size - start);
    if (!acrossLines_) End();
    if (lineFeed) target_->Text("\n", 1);
  }

  // Ends the run open, if any.
  void End() {
    if (!open_.Plain()) target_->End(open_);
    open_ = RunColour{};
  }

 private:
  Target* target_;
  bool acrossLines_;
  RunColour open_;
};
