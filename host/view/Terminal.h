// The terminal the view writes to: whether standard output is one and its
// size, the colours it shows (COLORTERM, then terminfo), its background
// (asked of the terminal, else COLORFGBG), and the state the view must
// give back before the program ends (the colour, the cursor), whatever
// ends it.
#pragma once

#include <csignal>
#include <string>

#include "host/view/Colour.h"

enum class Background : int8_t { kUnknown, kDark, kLight };

// Standard output is a terminal the view's defaults apply to (never on
// Windows, whose host keeps its plain output).
bool OutputIsTerminal();
// The size of the terminal standard output shows; false when it is no
// terminal or does not tell.
bool OutputTerminalSize(int* columns, int* lines);

// The depth the environment gives: none for TERM unset, empty or "dumb"
// (which shows no escape sequences); 24-bit for COLORTERM "truecolor" or
// "24bit"; else terminfo's `colors` for TERM, but 256 for an xterm
// (XTERM_VERSION set) whose TERM says 8: Debian's xterm starts as
// TERM=xterm, and draws 256 all the same.
ColourDepth DetectColourDepth();
// The same with the environment and terminfo given: `terminfoColours`
// answers the `colors` of a terminal type (-1 when unknown).
ColourDepth ColourDepthFrom(const char* term, const char* colorterm, const char* xtermVersion,
                            int (*terminfoColours)(const char* term));
// terminfo's `colors` for a terminal type, -1 when it has none or the type
// is unknown.
int TerminfoColours(const char* term);

// Asks the controlling terminal for its background colour: the xterm query
// (OSC 11) and then a primary device-attributes query (DA1), which every
// terminal answers, read until that answer has come, so that nothing is
// left for the shell, or for `waitMs` at most. Inside tmux (TMUX set), whose
// own answer comes only when its window style sets a background, the query
// is also passed through to the terminal outside when tmux allows that
// (allow-passthrough), ended by a status report, whose answer tmux passes
// on where it keeps the device attributes' for itself.
//
// Only replies are read, never what the user types: nothing is asked when
// input is already waiting, and bytes too few for a reply that stay so a
// moment (keys come one at a time, a reply at once) end the reading there,
// left for the shell. A reply still owed when the wait ends is read on
// (and only it) while the program runs, the terminal quiet meanwhile, and
// at its end for half a second at most.
//
// The terminal is quiet (no echo, no line editing) for the exchange and
// given back its modes on every path: Ctrl-C, a termination or a hangup
// ends the wait, the modes are restored, and only then does the signal
// reach the program's own handling; stops (Ctrl-Z) wait until then.
// Unknown without a controlling terminal, when standard output is another
// terminal, when this program is not in the terminal's foreground (a
// background job would be stopped), without an answer, or when `*stop` is
// set; never asked of a terminal that takes no escape sequences
// (TerminalTakesSequences).
Background AskTerminalBackground(int waitMs, const volatile std::sig_atomic_t* stop);

// Whether a terminal of type `term` takes escape sequences: not when TERM
// is unset, empty or "dumb" (Emacs's shell buffers, for one), which show
// them as text and answer no query.
bool TerminalTakesSequences(const char* term);

// The terminal's replies to the background query, taken a byte at a time:
// OSC strings (ESC ] ... BEL or ESC backslash) and the answers ESC [ ... c
// (device attributes) and ESC [ ... n (status report). Anything else is no
// reply: the user typed it.
class ReplyScanner {
 public:
  enum class Step : int8_t { kMore, kEnd, kNotReply };
  // kEnd when `c` completes a reply, kNotReply (from then on) when the
  // bytes since the last reply cannot be one.
  Step Take(char c);
  bool Between() const { return state_ == State::kBetween; }
  int attributes() const { return attributes_; }
  int statusReports() const { return statusReports_; }
  // Every reply completed so far.
  const std::string& replies() const { return replies_; }

 private:
  enum class State : int8_t { kBetween, kEscape, kOsc, kOscEscape, kCsi, kDead };
  Step Finish(char c);
  State state_ = State::kBetween;
  std::string current_;
  std::string replies_;
  int attributes_ = 0;
  int statusReports_ = 0;
};
// No reply is shorter: ESC [ 0 n.
const int kShortestReply = 4;

// What is written to ask: OSC 11 and DA1, and with `passthrough` the OSC 11
// and a status report (DSR) again, wrapped for tmux to hand to the terminal
// outside it.
std::string BackgroundQuery(bool passthrough);

// What the answer to the OSC 11 query says: `ESC ] 11 ; rgb:R/G/B`, each
// of 1 to 4 hex digits (also rgba:), dark when its luminance is below the
// middle. Unknown when the text holds no such answer.
Background BackgroundFromAnswer(const std::string& answer);
// COLORFGBG, "fg;bg" (or "fg;default;bg"): a background of 0-6 or 8 is
// dark, 7 or 15 light, anything else unknown.
Background BackgroundFromColorFgBg(const char* value);

// Ends whatever colour or sequence a write cut short by a stop left on
// standard output (ESC also ends a sequence cut in the middle), so that the
// terminal is not left coloured.
void WriteColourReset();

// A cursor hidden on standard output (while frames are drawn, say), and
// synchronized output begun (a frame being drawn), to be given back by
// RestoreTerminalOutput, which is called once the run ends, however it
// ends: the colour reset, synchronized output ended, the cursor shown.
void NoteCursorHidden(bool hidden);
void NoteSynchronizedOutput(bool begun);
void RestoreTerminalOutput();

// While watched, a change of the terminal's size (SIGWINCH) is noted;
// TerminalSizeChanged says whether one came since it was last asked.
void WatchTerminalSize(bool watch);
bool TerminalSizeChanged();
