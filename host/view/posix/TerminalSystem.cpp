// The terminal on POSIX systems: terminfo through libtinfo, and the
// background query on the controlling terminal through termios.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/platform/HostSystem.h"
#include "host/view/Terminal.h"

// Last: term.h defines macros named like common words (columns, lines).
#include <term.h>

extern char** environ;

namespace {

volatile std::sig_atomic_t gQuerySignal = 0;

// How long the reset after a stop waits for the terminal to take it.
const long long kResetWaitMs = 500;
// Keys come one at a time, a reply all at once or in pieces close together:
// bytes too few for a reply that stay so this long were typed.
const long long kSettleMs = 50;
// How long the end of the run waits for a reply still owed.
const long long kLateReplyMs = 500;
// The longest a wait goes without looking at its deadline again.
const long long kSliceMs = 50;

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

int Pending(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

void RestoreModes(int fd, const termios& saved) {
  while (::tcsetattr(fd, TCSANOW, &saved) != 0 && errno == EINTR) {
  }
}

// A wait of at most `ms` for `fd` to be readable (or without one, a pause),
// letting through only the signals `waitMask` lets through; false when the
// terminal is gone (hung up): nothing is left to read, and nothing comes.
bool Wait(int fd, long long ms, const sigset_t* waitMask) {
  pollfd p{fd, POLLIN, 0};
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  int ready = ::ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, &wait, waitMask);
  return !(ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0);
}

// One background query: the terminal, its modes to give back, and what has
// been read of the replies.
struct Query {
  int fd = -1;
  termios saved{};
  ReplyScanner scanner;
  int wantStatus = 0;  // status reports owed (a query passed through tmux)
  bool typed = false;  // the user typed: nothing more is read
  bool Answered() const { return scanner.attributes() >= 1 && scanner.statusReports() >= wantStatus; }
};

// Reads replies a byte at a time, never past them, until every answer owed
// has come, the user types, `deadline()` passes or `ended()` says so. The
// signals `waitMask` lets through end the waits.
template <typename Deadline, typename Ended>
void ReadReplies(Query* q, Deadline deadline, Ended ended, const sigset_t* waitMask) {
  long long since = -1;  // when fewer bytes than a reply were first seen
  while (!q->Answered() && !q->typed && !ended()) {
    const long long now = NowMs();
    const long long left = deadline() - now;
    if (left <= 0) break;
    const int pending = Pending(q->fd);
    if (pending == 0) {
      since = -1;
      if (!Wait(q->fd, std::min(left, kSliceMs), waitMask)) break;
      continue;
    }
    // A tty cannot be peeked at: what is read is gone. So a reply's first
    // byte is read only once a whole reply may be there.
    if (q->scanner.Between() && pending < kShortestReply) {
      if (since < 0) since = now;
      if (now - since >= kSettleMs) {
        q->typed = true;
        break;
      }
      Wait(-1, std::min(left, 5LL), waitMask);
      continue;
    }
    since = -1;
    char c = 0;
    ssize_t n = ::read(q->fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    // Typed bytes that look like the start of a reply (a paste, a function
    // key) are lost from here: rare, and the rest is left alone.
    if (q->scanner.Take(c) == ReplyScanner::Step::kNotReply) q->typed = true;
  }
}

// The query whose wait ended before its answers came: its replies are read
// on while the program runs, and the terminal given back its modes once
// they are in, or at the end of the run.
std::thread* gLate = nullptr;
std::atomic<long long> gLateDeadline{LLONG_MAX};

void FinishLateReplies() {
  if (gLate == nullptr) return;
  gLateDeadline = NowMs() + kLateReplyMs;
  gLate->join();
  delete gLate;
  gLate = nullptr;
}

void ReadLateReplies(std::unique_ptr<Query> q) {
  // The thread takes no signal (they stay the program's), and sets the
  // modes back even from the background (SIGTTOU held).
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  Query* query = q.release();
  gLate = new std::thread([query] {
    ReadReplies(query, [] { return gLateDeadline.load(); }, [] { return false; }, nullptr);
    RestoreModes(query->fd, query->saved);
    ::close(query->fd);
    delete query;
  });
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  std::atexit(FinishLateReplies);
}

// Whether tmux lets this pane pass sequences through to the terminal
// outside (allow-passthrough on, or all), set here or inherited. Never set
// by this program: that is the user's to choose.
bool TmuxPassesThrough() {
  const char* tmux = std::getenv("TMUX");
  if (tmux == nullptr || *tmux == '\0') return false;
  std::vector<const char*> args = {"tmux", "show-options", "-Apv"};
  const char* pane = std::getenv("TMUX_PANE");
  if (pane != nullptr && *pane != '\0') {
    args.push_back("-t");
    args.push_back(pane);
  }
  args.push_back("allow-passthrough");
  args.push_back(nullptr);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  int spawned = posix_spawnp(&child, "tmux", &actions, nullptr, const_cast<char* const*>(args.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string said;
  // A tmux server that does not answer is given up after half a second.
  const long long deadline = NowMs() + 500;
  for (long long left = 500; spawned == 0 && left > 0; left = deadline - NowMs()) {
    pollfd p{out[0], POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[64];
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || said.size() > 64) break;
    said.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  if (spawned != 0) return false;
  ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return said == "on\n" || said == "all\n";
}

bool WriteAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
    if (n < 0 && errno == EINTR && gQuerySignal == 0) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
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

namespace {

// The ending signals noted, not acted on, while the terminal is quiet; the
// job-control ones held.
struct HeldSignals {
  sigset_t previousMask;
  sigset_t waitMask;  // what the waits let through: the ending signals
  struct sigaction previous[sizeof kEndingSignals / sizeof kEndingSignals[0]];
};

void HoldSignals(HeldSignals* h) {
  // Everything that could end or stop the program is held back first...
  sigset_t held;
  sigemptyset(&held);
  for (int s : kEndingSignals) sigaddset(&held, s);
  for (int s : kJobSignals) sigaddset(&held, s);
  pthread_sigmask(SIG_BLOCK, &held, &h->previousMask);
  // ...and the ending ones only noted while the terminal is quiet.
  gQuerySignal = 0;
  struct sigaction note{};
  note.sa_handler = OnQuerySignal;
  sigemptyset(&note.sa_mask);
  note.sa_flags = 0;
  for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    sigaction(kEndingSignals[i], &note, &h->previous[i]);
  }
  h->waitMask = h->previousMask;
  for (int s : kEndingSignals) sigdelset(&h->waitMask, s);
  for (int s : kJobSignals) sigaddset(&h->waitMask, s);
}

// Gives the signals back; one that came meanwhile is raised, and reaches the
// program's own handling (or its default) as the mask is given back.
int ReleaseSignals(HeldSignals* h) {
  for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    sigaction(kEndingSignals[i], &h->previous[i], nullptr);
  }
  int signal = gQuerySignal;
  if (signal != 0) ::raise(signal);
  pthread_sigmask(SIG_SETMASK, &h->previousMask, nullptr);
  return signal;
}

// The exchange itself, with the signals held: the answer, or nothing.
std::string Exchange(std::unique_ptr<Query> q, bool passthrough, int waitMs,
                     const volatile std::sig_atomic_t* stop, const HeldSignals& held) {
  termios quiet = q->saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  quiet.c_cc[VMIN] = 1;
  quiet.c_cc[VTIME] = 0;
  if (::tcsetattr(q->fd, TCSANOW, &quiet) != 0) {
    ::close(q->fd);
    return std::string();
  }
  // Input already waiting (typed ahead, visible only now that lines are
  // not held back) is the shell's: asking would mix the answer into it.
  bool asked = (stop == nullptr || *stop == 0) && Pending(q->fd) == 0 &&
               WriteAll(q->fd, BackgroundQuery(passthrough));
  if (asked) {
    q->wantStatus = passthrough ? 1 : 0;
    const long long deadline = NowMs() + waitMs;
    ReadReplies(q.get(), [deadline] { return deadline; },
                [stop] { return gQuerySignal != 0 || (stop != nullptr && *stop != 0); }, &held.waitMask);
  }
  std::string answer = q->scanner.replies();
  if (asked && !q->Answered() && !q->typed && gQuerySignal == 0) {
    ReadLateReplies(std::move(q));
  } else {
    RestoreModes(q->fd, q->saved);
    ::close(q->fd);
  }
  return answer;
}

}  // namespace

Background AskTerminalBackground(int waitMs, const volatile std::sig_atomic_t* stop) {
  if (stop != nullptr && *stop != 0) return Background::kUnknown;
  // Such a terminal would show the query as text, then wait out the time.
  if (!TerminalTakesSequences(std::getenv("TERM"))) return Background::kUnknown;
  // One query at a time: an earlier one's replies may still be coming.
  if (gLate != nullptr) return Background::kUnknown;
  auto q = std::make_unique<Query>();
  q->fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (q->fd < 0) return Background::kUnknown;
  // The background of another terminal than the one standard output shows
  // says nothing of the picture's.
  // (tcgetsid answers only for the controlling terminal.)
  bool elsewhere = ::isatty(STDOUT_FILENO) != 0 && ::tcgetsid(STDOUT_FILENO) != ::getsid(0);
  if (elsewhere || ::tcgetpgrp(q->fd) != ::getpgrp() || ::tcgetattr(q->fd, &q->saved) != 0) {
    ::close(q->fd);
    return Background::kUnknown;
  }
  const bool passthrough = TmuxPassesThrough();
  HeldSignals held;
  HoldSignals(&held);
  std::string answer = Exchange(std::move(q), passthrough, waitMs, stop, held);
  if (ReleaseSignals(&held) != 0) return Background::kUnknown;
  return BackgroundFromAnswer(answer);
}
