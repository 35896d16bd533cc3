// The Windows host keeps its plain output: no terminfo, no background query.
#include "host/view/Terminal.h"

#include <cstdio>

// Standard output is never treated as a terminal: the view's defaults stay off.
bool OutputIsTerminal() { return false; }

// The Windows host never colours its output.
void WriteColourReset() {}

int TerminfoColours(const char*) { return -1; }

Background AskTerminalBackground(int, const volatile std::sig_atomic_t*) { return Background::kUnknown; }
