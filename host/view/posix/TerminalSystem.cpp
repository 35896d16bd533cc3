// The terminal on POSIX systems: terminfo through libtinfo, and the
// background query on the controlling terminal through termios.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/platform/HostSystem.h"
#include "host/view/Terminal.h"

// Last: term.h defines macros named like common words (columns, lines).
#include <term.h>

namespace {

volatile std::sig_atomic_t gQuerySignal = 0;

// How long the reset after a stop waits for the terminal to take it.
const long long kResetWaitMs = 500;

void OnQuerySignal(int signal) { gQuerySignal = signal; }

// Signals that end the program; each is held back while the terminal is
// quiet and handed on once its modes are back.
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Job control: a stop while the terminal is quiet would leave it so.
const int kJobSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

long long NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The device-attributes answer, ESC [ ? digits and semicolons c, is in.
bool HaveAttributesAnswer(const std::string& in) {
  for (size_t at = in.find("\033[?"); at != std::string::npos; at = in.find("\033[?", at + 1)) {
    size_t i = at + 3;
    while (i < in.size() && ((in[i] >= '0' && in[i] <= '9') || in[i] == ';')) ++i;
    if (i < in.size() && in[i] == 'c') return true;
  }
  return false;
}

// The exchange itself, with the terminal already quiet.
std::string Exchange(int fd, int waitMs, const volatile std::sig_atomic_t* stop, const sigset_t* waitMask) {
  static const char kQuery[] = "\033]11;?\033\\\033[c";
  size_t sent = 0;
  while (sent < sizeof kQuery - 1) {
    ssize_t n = ::write(fd, kQuery + sent, sizeof kQuery - 1 - sent);
    if (n < 0 && errno == EINTR && gQuerySignal == 0) continue;
    if (n <= 0) return std::string();
    sent += static_cast<size_t>(n);
  }
  std::string in;
  const long long deadline = NowMs() + waitMs;
  while (!HaveAttributesAnswer(in) && in.size() < 4096) {
    if (gQuerySignal != 0 || (stop != nullptr && *stop != 0)) break;
    long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    // The ending signals are let through only while waiting here, so that
    // none is missed between the checks above and the wait.
    int ready = ::ppoll(&p, 1, &wait, waitMask);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.append(buffer, static_cast<size_t>(n));
  }
  return in;
}

}  // namespace

bool OutputIsTerminal() { return IsTerminal(stdout); }

namespace {

volatile std::sig_atomic_t gResized = 0;
struct sigaction gResizeBefore {};

void OnResize(int) { gResized = 1; }

}  // namespace

void WatchTerminalSize(bool watch) {
  if (watch) {
    gResized = 0;
    struct sigaction noted{};
    noted.sa_handler = OnResize;
    sigemptyset(&noted.sa_mask);
    noted.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &noted, &gResizeBefore);
  } else {
    sigaction(SIGWINCH, &gResizeBefore, nullptr);
  }
}

bool TerminalSizeChanged() {
  if (gResized == 0) return false;
  gResized = 0;
  return true;
}

void WriteColourReset() {
  // The stop came while the terminal had no room (a slow link; Ctrl-S,
  // which Ctrl-C lifts): the reset waits for room a while, never for good.
  const int own = OpenTerminalWithoutWaiting(STDOUT_FILENO);
  const int fd = own >= 0 ? own : STDOUT_FILENO;
  const size_t length = std::strlen(kResetSequence);
  size_t sent = 0;
  const long long deadline = NowMs() + kResetWaitMs;
  for (long long left = kResetWaitMs; sent < length && left > 0; left = deadline - NowMs()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = ::write(fd, kResetSequence + sent, length - sent);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (own >= 0) ::close(own);
}

int TerminfoColours(const char* term) {
  int status = 0;
  if (term == nullptr || setupterm(term, STDOUT_FILENO, &status) != 0) return -1;
  int colours = tigetnum("colors");
  del_curterm(cur_term);
  return colours;
}

Background AskTerminalBackground(int waitMs, const volatile std::sig_atomic_t* stop) {
  if (stop != nullptr && *stop != 0) return Background::kUnknown;
  // Such a terminal would show the query as text, then wait out the time.
  if (!TerminalTakesSequences(std::getenv("TERM"))) return Background::kUnknown;
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Background::kUnknown;
  // The background of another terminal than the one standard output shows
  // says nothing of the picture's.
  // (tcgetsid answers only for the controlling terminal.)
  bool elsewhere = ::isatty(STDOUT_FILENO) != 0 && ::tcgetsid(STDOUT_FILENO) != ::getsid(0);
  termios saved{};
  if (elsewhere || ::tcgetpgrp(fd) != ::getpgrp() || ::tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return Background::kUnknown;
  }

  // Everything that could end or stop the program is held back first...
  sigset_t held, previousMask;
  sigemptyset(&held);
  for (int s : kEndingSignals) sigaddset(&held, s);
  for (int s : kJobSignals) sigaddset(&held, s);
  pthread_sigmask(SIG_BLOCK, &held, &previousMask);
  // ...and the ending ones only noted while the terminal is quiet.
  gQuerySignal = 0;
  struct sigaction note{};
  note.sa_handler = OnQuerySignal;
  sigemptyset(&note.sa_mask);
  note.sa_flags = 0;
  struct sigaction previous[sizeof kEndingSignals / sizeof kEndingSignals[0]];
  for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    sigaction(kEndingSignals[i], &note, &previous[i]);
  }
  sigset_t waitMask = previousMask;
  for (int s : kEndingSignals) sigdelset(&waitMask, s);
  for (int s : kJobSignals) sigaddset(&waitMask, s);

  std::string answer;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  quiet.c_cc[VMIN] = 1;
  quiet.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &quiet) == 0) {
    answer = Exchange(fd, waitMs, stop, &waitMask);
    while (::tcsetattr(fd, TCSANOW, &saved) != 0 && errno == EINTR) {
    }
  }
  ::close(fd);

  for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    sigaction(kEndingSignals[i], &previous[i], nullptr);
  }
  int signal = gQuerySignal;
  // Raised while still held, it is delivered to the program's own handling
  // (or its default) as the mask is given back.
  if (signal != 0) ::raise(signal);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  if (signal != 0) return Background::kUnknown;
  return BackgroundFromAnswer(answer);
}
