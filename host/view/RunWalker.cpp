#include "host/view/RunWalker.h"

void RunWalker::Line(const char* text, size_t size, const Tint* tints, bool lineFeed) {
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

void RunWalker::End() {
  if (!open_.Plain()) target_->End(open_);
  open_ = RunColour{};
}
