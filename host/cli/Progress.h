// A progress bar on standard error while an export runs: percent, rows,
// rate and time left. Drawn only on a terminal, at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct ProgressBar {
  bool enabled = false;
  std::string label;
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point lastDrawn;
  bool drawn = false;
};

void StartProgress(ProgressBar* bar, bool enabled, const std::string& label);
// `unit` names what is counted: "rows" of an image, or "images" of a batch.
void UpdateProgress(ProgressBar* bar, int32_t done, int32_t total, const char* unit = "rows");
// Clears the bar's line so that messages that follow start on a clean line.
void EndProgress(ProgressBar* bar);

// The bar's text for a terminal `columns` wide (at most columns - 1
// columns, whatever the width), without control characters: the label is
// escaped as messages are, and shortened by whole characters as the user's
// locale shows them (wide ones take two columns, combining marks none).
std::string ProgressText(const std::string& label, int32_t done, int32_t total, double seconds,
                         int columns, const char* unit = "rows");
