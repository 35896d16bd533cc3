// Watches the message boxes that the calling thread shows and answers each
// with OK, so that tests of code that shows boxes neither hang nor need a
// person. On Windows a second thread finds the real boxes; on POSIX the
// stand-in's output is captured.
#pragma once

#include <string>
#include <vector>

struct ObservedBox {
  std::string text;  // UTF-8
  std::string caption;
  bool captionKnown = false;  // the POSIX stand-in shows no caption
  unsigned icon = 0;          // kMessageBoxIconInformation, ...Exclamation, or 0
};

void StartBoxWatch();
std::vector<ObservedBox> StopBoxWatch();

// False when boxes cannot be shown at all (Windows without a display); GUI
// tests then skip themselves.
bool BoxesCanBeShown();
