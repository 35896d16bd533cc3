// Plays an animation in place on the terminal view. Each frame is drawn
// over the one before: the cursor goes back up by the lines the last frame
// took (ESC [ n A) rather than the screen being cleared, and the frame is
// written inside synchronized output (ESC [ ? 2026 h ... l), so that a
// terminal that knows it never shows half a frame and one that does not
// ignores it. A frame stays for the delay the file gives it, except that 10
// ms or less counts as 100 ms, as browsers do (files often say 0 and mean
// "as fast as is reasonable"). The cursor is hidden while playing and shown
// again however playing ends, Ctrl-C included; a terminal resized meanwhile
// (SIGWINCH) is fitted again from the next frame, the picture's old place
// cleared first. The player touches neither the image nor the plug-in: the
// host shows and draws each frame for it.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

class FrameDrawer {
 public:
  virtual ~FrameDrawer() = default;
  // Moves the image on to frame `frame` (counted from 1); `delay` gets the
  // delay the file gives it, in milliseconds.
  virtual bool Show(int32_t frame, int32_t* delay) = 0;
  // The terminal has changed size: the frames drawn from now on fit it.
  virtual bool Refit() = 0;
  // Draws the frame the image stands at on standard output, whole lines
  // each ending in a line feed; `lines` gets how many.
  virtual bool Draw(int32_t* lines) = 0;
  // Writes the player's own sequences where the frames go.
  virtual bool Write(const std::string& text) = 0;
};

struct PlayRequest {
  int32_t frames = 1;
  int32_t firstDelay = 0;  // frame 1's delay (the image stands at frame 1)
  int32_t plays = 1;       // times through the frames; 0: until stopped
  const volatile std::sig_atomic_t* stop = nullptr;
};

// How long a frame the file gives `delay` milliseconds is shown.
int32_t ShownDelay(int32_t delay);

// Plays the frames; false when stopped or when a frame cannot be shown or
// drawn.
bool PlayAnimation(const PlayRequest& request, FrameDrawer* drawer);
