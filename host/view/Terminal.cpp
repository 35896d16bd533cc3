// The parts of the terminal that do not depend on the system: what the
// environment and the answers say, and giving back the output's state.
#include "host/view/Terminal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/platform/HostSystem.h"

namespace {

volatile std::sig_atomic_t gCursorHidden = 0;
volatile std::sig_atomic_t gSynchronized = 0;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One channel of 1 to 4 hex digits, scaled to 0..1; -1 when malformed.
double Channel(const char** text) {
  const char* p = *text;
  unsigned value = 0;
  int digits = 0;
  while (digits < 4 && HexValue(*p) >= 0) {
    value = value * 16 + static_cast<unsigned>(HexValue(*p));
    ++p;
    ++digits;
  }
  if (digits == 0 || HexValue(*p) >= 0) return -1;
  *text = p;
  return value / static_cast<double>((1u << (4 * digits)) - 1);
}

}  // namespace

bool OutputTerminalSize(int* columns, int* lines) { return TerminalSize(stdout, columns, lines); }

ColourDepth ColourDepthFrom(const char* term, const char* colorterm, const char* xtermVersion,
                            int (*terminfoColours)(const char* term)) {
  if (!TerminalTakesSequences(term)) return ColourDepth::kNone;
  if (colorterm != nullptr && (std::strcmp(colorterm, "truecolor") == 0 || std::strcmp(colorterm, "24bit") == 0)) {
    return ColourDepth::kTrue;
  }
  int colours = terminfoColours(term);
  // Only xterm itself sets XTERM_VERSION; a multiplexer started from it
  // inherits the variable but has a TERM of its own.
  if (colours == 8 && xtermVersion != nullptr && *xtermVersion != '\0' && std::strncmp(term, "xterm", 5) == 0) {
    return ColourDepth::k256;
  }
  if (colours >= 256) return ColourDepth::k256;
  if (colours >= 16) return ColourDepth::k16;
  if (colours >= 8) return ColourDepth::k8;
  return ColourDepth::kNone;
}

bool TerminalTakesSequences(const char* term) {
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

ColourDepth DetectColourDepth() {
  return ColourDepthFrom(std::getenv("TERM"), std::getenv("COLORTERM"), std::getenv("XTERM_VERSION"), TerminfoColours);
}

ReplyScanner::Step ReplyScanner::Finish(char c) {
  if (c == 'c') ++attributes_;
  if (c == 'n') ++statusReports_;
  replies_ += current_;
  current_.clear();
  state_ = State::kBetween;
  return Step::kEnd;
}

ReplyScanner::Step ReplyScanner::Take(char c) {
  // Longer than any answer to these queries: typed text that happens to
  // start like one.
  const size_t kLongest = 64;
  if (state_ == State::kDead) return Step::kNotReply;
  current_.push_back(c);
  bool fits = current_.size() <= kLongest;
  switch (state_) {
    case State::kBetween:
      fits = fits && c == '\033';
      state_ = State::kEscape;
      break;
    case State::kEscape:
      fits = fits && (c == ']' || c == '[');
      state_ = c == ']' ? State::kOsc : State::kCsi;
      break;
    case State::kOsc:
      if (c == '\007') return Finish(c);
      if (c == '\033') state_ = State::kOscEscape;
      fits = fits && (c == '\033' || (c >= ' ' && c <= '~'));
      break;
    case State::kOscEscape:
      if (fits && c == '\\') return Finish(c);
      fits = false;
      break;
    case State::kCsi:
      if (fits && (c == 'c' || c == 'n')) return Finish(c);
      fits = fits && ((c >= '0' && c <= '9') || c == ';' || c == '?' || c == '>');
      break;
    case State::kDead:
      break;
  }
  if (fits) return Step::kMore;
  state_ = State::kDead;
  return Step::kNotReply;
}

std::string BackgroundQuery(bool passthrough) {
  std::string query = "\033]11;?\033\\\033[c";
  // tmux hands on the body of DCS tmux; ... ST, each ESC in it doubled.
  if (passthrough) query += "\033Ptmux;\033\033]11;?\033\033\\\033\\\033Ptmux;\033\033[5n\033\\";
  return query;
}

Background BackgroundFromAnswer(const std::string& answer) {
  size_t at = answer.find("\033]11;");
  if (at == std::string::npos) return Background::kUnknown;
  const char* p = answer.c_str() + at + 5;
  if (std::strncmp(p, "rgb:", 4) == 0) {
    p += 4;
  } else if (std::strncmp(p, "rgba:", 5) == 0) {
    p += 5;
  } else {
    return Background::kUnknown;
  }
  double rgb[3];
  for (int c = 0; c < 3; ++c) {
    if (c > 0 && *p++ != '/') return Background::kUnknown;
    rgb[c] = Channel(&p);
    if (rgb[c] < 0) return Background::kUnknown;
  }
  double luma = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
  return luma < 0.5 ? Background::kDark : Background::kLight;
}

Background BackgroundFromColorFgBg(const char* value) {
  if (value == nullptr) return Background::kUnknown;
  const char* last = std::strrchr(value, ';');
  if (last == nullptr || last[1] == '\0') return Background::kUnknown;
  char* end = nullptr;
  long bg = std::strtol(last + 1, &end, 10);
  if (*end != '\0' || last[1] < '0' || last[1] > '9') return Background::kUnknown;
  if ((bg >= 0 && bg <= 6) || bg == 8) return Background::kDark;
  if (bg == 7 || bg == 15) return Background::kLight;
  return Background::kUnknown;
}

void NoteCursorHidden(bool hidden) { gCursorHidden = hidden ? 1 : 0; }

void NoteSynchronizedOutput(bool begun) { gSynchronized = begun ? 1 : 0; }

void RestoreTerminalOutput() {
  if (gCursorHidden == 0 && gSynchronized == 0) return;
  std::clearerr(stdout);
  std::fputs(kResetSequence, stdout);
  if (gSynchronized != 0) std::fputs("\033[?2026l", stdout);
  if (gCursorHidden != 0) std::fputs("\033[?25h", stdout);
  std::fflush(stdout);
  gCursorHidden = 0;
  gSynchronized = 0;
}
