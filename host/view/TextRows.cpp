#include "host/view/TextRows.h"

#include <cstring>
#include <utility>

#include "host/image/ImageInput.h"

namespace {

// Rows waiting for their lines beyond this many bytes mean the text is not
// coming as the rows are served: colouring stops rather than memory growing.
const size_t kMostWaiting = size_t{64} << 20;

}  // namespace

TintSource TintSourceFor(const RowLayout& layout) {
  int colourPlanes = layout.planes - (layout.alphaPlane ? 1 : 0);
  switch (layout.mode) {
    case kImageModeGray:
    case kImageModeDuotone:
    case kImageModeIndexed: return colourPlanes == 1 ? TintSource::kPixel : TintSource::kNone;
    case kImageModeRGB: return colourPlanes == 3 ? TintSource::kChannel : TintSource::kNone;
    case kImageModeCMYK: return colourPlanes == 4 ? TintSource::kChannel : TintSource::kNone;
    default: return TintSource::kNone;
  }
}

void TintRow(const RowLayout& layout, TintSource source, const uint8_t* row, Tint* tints) {
  const int planes = layout.planes;
  const int colourPlanes = planes - (layout.alphaPlane ? 1 : 0);
  for (int32_t x = 0; x < layout.width; ++x) {
    Tint* t = tints + static_cast<size_t>(x) * static_cast<size_t>(planes);
    if (layout.alphaPlane) t[planes - 1] = Tint{};
    if (source == TintSource::kPixel) {
      const uint8_t* p = row + static_cast<size_t>(x) * 3;
      t[0] = Tint{p[0], p[1], p[2], true};
      continue;
    }
    const uint8_t* s = row + static_cast<size_t>(x) * static_cast<size_t>(planes);
    for (int c = 0; c < colourPlanes; ++c) {
      // The strength is the picture's, whichever way the plug-in got it.
      uint8_t v = layout.inverted ? static_cast<uint8_t>(255 - s[c]) : s[c];
      if (layout.mode == kImageModeRGB) {
        // Red, green and blue at the channel's strength, like a screen's sub-pixels.
        t[c] = Tint{c == 0 ? v : uint8_t{0}, c == 1 ? v : uint8_t{0}, c == 2 ? v : uint8_t{0}, true};
      } else if (c == 3) {
        // Black ink: 255 - v of it on white paper.
        t[c] = Tint{v, v, v, true};
      } else {
        // Cyan, magenta and yellow ink as printed on white paper: each
        // takes away its own primary, in proportion to the ink (255 - v).
        t[c] = Tint{c == 0 ? v : uint8_t{255}, c == 1 ? v : uint8_t{255}, c == 2 ? v : uint8_t{255}, true};
      }
    }
  }
}

TextRows::TextRows(const RowLayout& layout, LineSink sink)
    : layout_(layout), source_(TintSourceFor(layout)), sink_(std::move(sink)) {
  size_t width = layout.width > 0 ? static_cast<size_t>(layout.width) : 0;
  rowSize_ = source_ == TintSource::kPixel ? width * 3 : width * static_cast<size_t>(layout.planes);
  if (source_ != TintSource::kNone) tints_.resize(width * static_cast<size_t>(layout.planes));
}

void TextRows::AddBand(int32_t top, int32_t bottom, int32_t left, int32_t right, int32_t loPlane,
                       int32_t hiPlane, const uint8_t* samples, int32_t rowBytes, const uint8_t* pixels,
                       int32_t pixelRowBytes) {
  if (source_ == TintSource::kNone || broken_) return;
  // A band asked again (rows already paired or waiting) changes nothing.
  if (bottom <= nextRow_) return;
  const uint8_t* from = source_ == TintSource::kPixel ? pixels : samples;
  int32_t stride = source_ == TintSource::kPixel ? pixelRowBytes : rowBytes;
  bool whole = left == 0 && right == layout_.width && loPlane == 0 && hiPlane == layout_.planes - 1;
  if (top > nextRow_ || !whole || from == nullptr || rows_.size() * rowSize_ > kMostWaiting) {
    broken_ = true;
    rows_.clear();
    spare_.clear();
    return;
  }
  for (int32_t y = nextRow_; y < bottom; ++y) {
    std::vector<uint8_t> row;
    if (!spare_.empty()) {
      row.swap(spare_.back());
      spare_.pop_back();
    }
    const uint8_t* src = from + static_cast<ptrdiff_t>(y - top) * stride;
    row.assign(src, src + rowSize_);
    rows_.push_back(std::move(row));
  }
  nextRow_ = bottom;
}

bool TextRows::Emit(const char* text, size_t size, bool lineFeed) {
  if (failed_) return false;
  const Tint* tints = nullptr;
  if (!rows_.empty()) {
    // A line of another length than a row's is not paired with it.
    if (size == tints_.size()) {
      TintRow(layout_, source_, rows_.front().data(), tints_.data());
      tints = tints_.data();
    }
    spare_.push_back(std::move(rows_.front()));
    rows_.pop_front();
  }
  if (!sink_(text, size, tints, lineFeed)) failed_ = true;
  return !failed_;
}

bool TextRows::AddText(const char* data, size_t size) {
  const char* end = data + size;
  while (data < end && !failed_) {
    const char* feed = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
    if (feed == nullptr) {
      partial_.append(data, end);
      break;
    }
    if (partial_.empty()) {
      Emit(data, static_cast<size_t>(feed - data), true);
    } else {
      partial_.append(data, feed);
      Emit(partial_.data(), partial_.size(), true);
      partial_.clear();
    }
    data = feed + 1;
  }
  return !failed_;
}

bool TextRows::Finish() {
  if (!partial_.empty()) {
    Emit(partial_.data(), partial_.size(), false);
    partial_.clear();
  }
  return !failed_;
}
