#include "host/view/Page.h"

#include <cmath>
#include <utility>

namespace {

// Gathered into writes of about this size: few system calls, little memory.
const size_t kWriteBytes = size_t{1} << 16;

void AppendEscaped(const char* text, size_t size, std::string* out) {
  for (size_t i = 0; i < size; ++i) {
    switch (text[i]) {
      case '&':
        out->append("&amp;");
        break;
      case '<':
        out->append("&lt;");
        break;
      case '>':
        out->append("&gt;");
        break;
      default:
        out->push_back(text[i]);
    }
  }
}

// 2 -> "2", 2.25 -> "2.25": to a thousandth, without the locale's say.
std::string Decimal(double value) {
  long thousandths = std::lround(value * 1000);
  std::string text = std::to_string(thousandths / 1000);
  long rest = thousandths % 1000;
  if (rest != 0) {
    std::string digits = std::to_string(1000 + rest).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

std::string Head(const PageLook& look) {
  std::string head =
      "<!DOCTYPE html>\n"
      "<html>\n"
      "<head>\n"
      "<meta charset=\"utf-8\">\n"
      "<title>";
  AppendEscaped(look.title.data(), look.title.size(), &head);
  head += "</title>\n<style>\n";
  head += look.dark ? "html{background:#000;color:#fff}\n" : "html{background:#fff;color:#000}\n";
  // A line is `cellAspect` character widths tall (1ch is the advance of the
  // font's "0", the width of every character in a monospace font), so the
  // picture keeps the proportions it was sized for. No ligatures or kerning
  // may join or move characters.
  head +=
      "pre{font-family:\"DejaVu Sans Mono\",\"Liberation "
      "Mono\",Menlo,Consolas,monospace;font-size:12px;"
      "line-height:" +
      Decimal(look.cellAspect) +
      "ch;letter-spacing:0;font-kerning:none;font-variant-ligatures:none;margin:0}\n"
      // A run of one colour: the shortest element there is, in the text's own weight.
      "pre b{font-weight:inherit}\n"
      "</style>\n"
      "</head>\n"
      "<body>\n"
      // The browser drops a line feed just after <pre>; this one, so that the
      // text's own first line stays whole.
      "<pre>\n";
  return head;
}

void AppendColour(int32_t rgb, std::string* out) {
  static const char digits[] = "0123456789abcdef";
  out->append("<b style=color:#");
  for (int shift = 20; shift >= 0; shift -= 4) out->push_back(digits[(rgb >> shift) & 15]);
  out->push_back('>');
}

}  // namespace

Page::Page(const RowLayout& layout, const PageLook& look, Writer write)
    : write_(std::move(write)),
      coloured_(look.colour && TintSourceFor(layout) != TintSource::kNone),
      out_(Head(look)),
      runs_(this, true),
      rows_(layout, [this](const char* text, size_t size, const Tint* tints, bool lineFeed) {
        runs_.Line(text, size, coloured_ ? tints : nullptr, lineFeed);
        return Flush();
      }) {}

RunColour Page::ColourOf(const Tint& t) {
  return RunColour{t.set ? (int32_t{t.r} << 16 | int32_t{t.g} << 8 | t.b) : -1};
}

void Page::Text(const char* text, size_t size) { AppendEscaped(text, size, &out_); }

void Page::Change(const RunColour& from, const RunColour& to) {
  if (!from.Plain()) out_.append("</b>");
  if (!to.Plain()) AppendColour(to.ink, &out_);
}

void Page::End(const RunColour&) { out_.append("</b>"); }

bool Page::Flush() {
  if (failed_) return false;
  if (out_.size() < kWriteBytes) return true;
  if (!write_(out_.data(), out_.size())) {
    failed_ = true;
    return false;
  }
  out_.clear();
  return true;
}

bool Page::Add(const char* data, size_t size) {
  if (failed_) return false;
  return rows_.AddText(data, size) && !failed_;
}

bool Page::Finish() {
  if (failed_ || !rows_.Finish()) return false;
  runs_.End();
  out_.append("</pre>\n</body>\n</html>\n");
  if (!write_(out_.data(), out_.size())) failed_ = true;
  out_.clear();
  return !failed_;
}
