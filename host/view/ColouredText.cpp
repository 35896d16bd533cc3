#include "host/view/ColouredText.h"

ColouredText::ColouredText(const RowLayout& layout, ColourMapper* mapper, Writer write)
    : mapper_(mapper),
      write_(write),
      coloured_(mapper != nullptr && mapper->depth() != ColourDepth::kNone &&
                TintSourceFor(layout) != TintSource::kNone),
      rows_(layout, [this](const char* text, size_t size, const Tint* tints, bool lineFeed) {
        AppendColouredLine(text, size, tints, mapper_, lineFeed, &out_);
        return true;
      }) {}

bool ColouredText::Flush() {
  if (failed_) return false;
  if (out_.empty()) return true;
  // Every line ends uncoloured, and the writer resets a write it cuts short.
  if (!write_(out_.data(), out_.size())) {
    failed_ = true;
    return false;
  }
  out_.clear();
  return true;
}

bool ColouredText::Add(const char* data, size_t size) {
  if (failed_) return false;
  if (!coloured_) {
    if (!write_(data, size)) failed_ = true;
    return !failed_;
  }
  rows_.AddText(data, size);
  return Flush();
}

bool ColouredText::Finish() {
  if (failed_) return false;
  if (coloured_) rows_.Finish();
  return Flush();
}
