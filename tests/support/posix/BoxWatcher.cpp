#include "support/BoxWatcher.h"

#include <gtest/gtest.h>

#include "platform/MessageBox.h"

void StartBoxWatch() {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
}

std::vector<ObservedBox> StopBoxWatch() {
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  std::vector<ObservedBox> boxes;
  auto add = [&boxes](std::string text, unsigned icon) {
    if (text.empty()) return;
    if (text.back() == '\n') text.pop_back();
    ObservedBox box;
    box.text = text;
    box.icon = icon;
    boxes.push_back(box);
  };
  add(out, kMessageBoxIconInformation);
  add(err, kMessageBoxIconExclamation);
  return boxes;
}

bool BoxesCanBeShown() { return true; }
