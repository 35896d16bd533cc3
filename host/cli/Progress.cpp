#include "host/cli/Progress.h"

#include <cstdio>
#include <vector>

#include "host/platform/HostSystem.h"
#include "platform/PrintableText.h"

namespace {

std::string Duration(double seconds) {
  long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

// One character of the label as the terminal shows it, and its columns.
struct Shown {
  std::string text;
  int columns;
};

// The label escaped as messages are, and what the user's locale cannot
// show (in the C locale, anything but ASCII) escaped too, so that its
// width is known.
std::vector<Shown> ShownLabel(const std::string& label) {
  std::vector<Shown> shown;
  for (size_t at = 0; at < label.size();) {
    PrintableCharacter next = NextPrintable(label, at);
    at += next.length;
    const int columns = next.escaped ? -1 : CharacterColumns(next.codePoint);
    if (columns < 0 && !next.escaped) next.shown = EscapedCodePoint(next.codePoint);
    shown.push_back({next.shown, columns < 0 ? static_cast<int>(next.shown.size()) : columns});
  }
  return shown;
}

// The label in at most `room` columns: its end, after "...", when it is
// longer, cut between characters and never before a combining mark.
std::string FittedLabel(const std::string& label, int room) {
  const std::vector<Shown> shown = ShownLabel(label);
  int width = 0;
  for (const Shown& c : shown) width += c.columns;
  size_t start = 0;
  if (width > room) {
    width = 3;
    start = shown.size();
    while (start > 0 && width + shown[start - 1].columns <= room) width += shown[--start].columns;
    while (start < shown.size() && shown[start].columns == 0) ++start;
  }
  std::string out = start > 0 ? "..." : "";
  for (size_t i = start; i < shown.size(); ++i) out += shown[i].text;
  return out;
}

}  // namespace

std::string ProgressText(const std::string& label, int32_t done, int32_t total, double seconds,
                         int columns, const char* unit) {
  if (total <= 0) total = 1;
  if (done < 0) done = 0;
  if (done > total) done = total;
  double fraction = static_cast<double>(done) / total;
  double rate = seconds > 0 ? done / seconds : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(fraction * 100));
  const std::string percent = text;
  std::snprintf(text, sizeof text, "  %d/%d %s", done, total, unit);
  const std::string rows = text;
  std::snprintf(text, sizeof text, "  %.0f %s/s", rate, unit);
  const std::string speed = text;
  const std::string left =
      "  " + (done > 0 && rate > 0 ? Duration((total - done) / rate) + " left" : std::string("--:-- left"));

  // The last column stays empty: writing there wraps some terminals. What
  // does not fit is left out, least useful first.
  int room = columns - 1;
  std::string numbers = percent;
  int used = static_cast<int>(percent.size());
  bool withLeft = used + static_cast<int>(left.size()) <= room;
  if (withLeft) used += static_cast<int>(left.size());
  bool withRows = used + static_cast<int>(rows.size()) <= room;
  if (withRows) used += static_cast<int>(rows.size());
  bool withSpeed = used + static_cast<int>(speed.size()) <= room;
  if (withSpeed) used += static_cast<int>(speed.size());
  numbers += (withRows ? rows : "") + (withSpeed ? speed : "") + (withLeft ? left : "");

  int spare = room - used;
  int barWidth = spare >= 48 ? 22 : spare >= 8 ? spare / 2 : spare >= 5 ? spare - 1 : 0;
  if (barWidth > 22) barWidth = 22;
  spare -= barWidth > 0 ? barWidth + 1 : 0;
  std::string out;
  if (spare >= 5 && !label.empty()) out += FittedLabel(label, spare - 1) + ' ';
  if (barWidth > 0) {
    int inner = barWidth - 2;
    int filled = static_cast<int>(fraction * inner);
    out += '[' + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(inner - filled), ' ') + "] ";
  }
  // Only the percent alone can be too wide, and then nothing is before it.
  if (used > room) numbers.resize(room > 0 ? static_cast<size_t>(room) : 0);
  return out + numbers;
}

void StartProgress(ProgressBar* bar, bool enabled, const std::string& label) {
  bar->enabled = enabled;
  bar->label = label;
  bar->started = std::chrono::steady_clock::now();
  bar->lastDrawn = bar->started;
  bar->drawn = false;
}

void UpdateProgress(ProgressBar* bar, int32_t done, int32_t total, const char* unit) {
  if (!bar->enabled) return;
  auto now = std::chrono::steady_clock::now();
  if (bar->drawn && now - bar->lastDrawn < std::chrono::milliseconds(100)) return;
  bar->lastDrawn = now;
  bar->drawn = true;
  double seconds = std::chrono::duration<double>(now - bar->started).count();
  std::string text = ProgressText(bar->label, done, total, seconds, TerminalColumns(stderr), unit);
  std::fprintf(stderr, "\r%s\033[K", text.c_str());
  std::fflush(stderr);
}

void EndProgress(ProgressBar* bar) {
  if (bar->enabled && bar->drawn) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  bar->drawn = false;
}
