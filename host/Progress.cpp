#include "host/Progress.h"

#include <cstdio>

#include "host/platform/HostSystem.h"

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

}  // namespace

std::string ProgressText(const std::string& label, int32_t done, int32_t total, double seconds,
                         int columns) {
  if (total <= 0) total = 1;
  if (done < 0) done = 0;
  if (done > total) done = total;
  double fraction = static_cast<double>(done) / total;
  char numbers[96];
  double rate = seconds > 0 ? done / seconds : 0;
  std::string left = done > 0 && rate > 0 ? Duration((total - done) / rate) + " left" : "--:-- left";
  std::snprintf(numbers, sizeof numbers, " %3d%%  %d/%d rows  %.0f rows/s  %s",
                static_cast<int>(fraction * 100), done, total, rate, left.c_str());
  int room = columns - 1 - static_cast<int>(std::string(numbers).size());
  int barWidth = room > 40 ? 20 : room / 2;
  int labelRoom = room - (barWidth > 0 ? barWidth + 3 : 0);
  std::string text;
  if (labelRoom > 3) {
    std::string shown = label;
    if (static_cast<int>(shown.size()) > labelRoom) {
      shown = "..." + shown.substr(shown.size() - static_cast<size_t>(labelRoom - 3));
    }
    text += shown + ' ';
  }
  if (barWidth > 2) {
    int filled = static_cast<int>(fraction * barWidth);
    text += '[' + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(barWidth - filled), ' ') + ']';
  }
  return text + numbers;
}

void StartProgress(ProgressBar* bar, bool enabled, const std::string& label) {
  bar->enabled = enabled;
  bar->label = label;
  bar->started = std::chrono::steady_clock::now();
  bar->lastDrawn = bar->started;
  bar->drawn = false;
}

void UpdateProgress(ProgressBar* bar, int32_t done, int32_t total) {
  if (!bar->enabled) return;
  auto now = std::chrono::steady_clock::now();
  if (bar->drawn && now - bar->lastDrawn < std::chrono::milliseconds(100)) return;
  bar->lastDrawn = now;
  bar->drawn = true;
  double seconds = std::chrono::duration<double>(now - bar->started).count();
  std::string text = ProgressText(bar->label, done, total, seconds, TerminalColumns(stderr));
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
