// The Windows host keeps its plain output: no terminfo, no background query.
#include "host/view/Terminal.h"

#include <cstdio>

// Standard output is never treated as a terminal: the view's defaults stay off.
bool OutputIsTerminal() { return false; }

bool WriteColouredOutput(const void* data, size_t size, const volatile std::sig_atomic_t*, bool* closed) {
  *closed = std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0;
  return !*closed;
}

int TerminfoColours(const char*) { return -1; }

Background AskTerminalBackground(int, const volatile std::sig_atomic_t*) { return Background::kUnknown; }

// The view never plays there.
void WatchTerminalSize(bool) {}

bool TerminalSizeChanged() { return false; }
