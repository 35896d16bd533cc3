#include "host/view/ColouredText.h"

#include "host/view/RunWalker.h"

namespace {

// Runs as a terminal shows them: a sequence where the colour changes, and
// the terminal's own colours given back where a run ends.
class Sequences final : public RunTarget {
 public:
  Sequences(ColourMapper* mapper, std::string* out) : mapper_(mapper), out_(out) {}

  RunColour ColourOf(const Tint& t) override {
    return RunColour{t.set ? mapper_->Code(t.r, t.g, t.b) : -1};
  }
  void Text(const char* text, size_t size) override { out_->append(text, size); }
  void Change(const RunColour&, const RunColour& to) override {
    if (to.Plain()) {
      out_->append(kDefaultForegroundSequence);
    } else {
      mapper_->AppendSequence(to.ink, out_);
    }
  }
  void End(const RunColour&) override { out_->append(kResetSequence); }

 private:
  ColourMapper* mapper_;
  std::string* out_;
};

}  // namespace

void AppendColouredLine(const char* text, size_t size, const Tint* tints, ColourMapper* mapper,
                        bool lineFeed, std::string* out) {
  const bool colours = mapper != nullptr && mapper->depth() != ColourDepth::kNone;
  Sequences sequences(mapper, out);
  RunWalker<Sequences>(&sequences, false).Line(text, size, colours ? tints : nullptr, lineFeed);
}

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
