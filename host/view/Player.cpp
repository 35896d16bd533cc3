#include "host/view/Player.h"

#include <chrono>
#include <string>
#include <thread>

#include "host/view/Terminal.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stop is seen within this while waiting out a delay.
constexpr std::chrono::milliseconds kWaitSlice{20};

bool Stopped(const PlayRequest& r) { return r.stop != nullptr && *r.stop != 0; }

// Until `until`, or until stopped.
void WaitUntil(const PlayRequest& r, Clock::time_point until) {
  for (Clock::time_point now = Clock::now(); now < until && !Stopped(r); now = Clock::now()) {
    std::this_thread::sleep_for(until - now < kWaitSlice ? until - now
                                                         : Clock::duration(kWaitSlice));
  }
}

}  // namespace

int32_t ShownDelay(int32_t delay) { return delay <= 10 ? 100 : delay; }

bool PlayAnimation(const PlayRequest& r, FrameDrawer* drawer) {
  WatchTerminalSize(true);
  NoteCursorHidden(true);
  bool ok = drawer->Write("\033[?25l");
  int32_t lines = 0;  // of the frame on the screen
  int32_t delay = r.firstDelay;
  Clock::time_point drawn = Clock::now();
  for (int32_t play = 0; ok && (r.plays == 0 || play < r.plays); ++play) {
    for (int32_t frame = 1; ok && frame <= r.frames; ++frame) {
      if (play > 0 || frame > 1) {
        // The next frame is made while the last one is still shown.
        int32_t next = 0;
        ok = drawer->Show(frame, &next);
        WaitUntil(r, drawn + std::chrono::milliseconds(ShownDelay(delay)));
        delay = next;
      }
      const bool refit = ok && !Stopped(r) && TerminalSizeChanged();
      ok = ok && !Stopped(r) && (!refit || drawer->Refit());
      if (!ok) break;
      std::string begin = "\033[?2026h";
      if (lines > 0) begin += "\r\033[" + std::to_string(lines) + "A";
      if (refit) begin += "\033[J";
      NoteSynchronizedOutput(true);
      ok = drawer->Write(begin) && drawer->Draw(&lines) && drawer->Write("\033[?2026l");
      if (ok) NoteSynchronizedOutput(false);
      drawn = Clock::now();
    }
  }
  WatchTerminalSize(false);
  RestoreTerminalOutput();
  return ok && !Stopped(r);
}
