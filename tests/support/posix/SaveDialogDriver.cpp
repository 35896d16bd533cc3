#include "support/SaveDialogDriver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The child: a session of its own whose controlling terminal is the pty.
[[noreturn]] void RunChild(const std::string& terminal, int report,
                           const std::function<std::string()>& body) {
  setsid();
  int slave = open(terminal.c_str(), O_RDWR);
  if (slave < 0) _exit(70);
  ioctl(slave, TIOCSCTTY, 0);
  std::string out = body();
  WriteAll(report, out);
  close(report);
  _exit(0);
}

std::string Between(const std::string& text, const std::string& before, const std::string& after) {
  size_t start = text.find(before);
  if (start == std::string::npos) return std::string();
  start += before.size();
  size_t end = text.find(after, start);
  return end == std::string::npos ? std::string() : text.substr(start, end - start);
}

}  // namespace

std::string RunWithSaveDialog(const SaveDialogUser& user, const std::function<std::string()>& body,
                              SaveDialogSeen* seen) {
  *seen = SaveDialogSeen();
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "<no pseudo-terminal>";
  std::string terminal = ptsname(master);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return "<no pipe>";
  std::fflush(stdout);
  std::fflush(stderr);

  pid_t child = fork();
  if (child == 0) {
    close(master);
    close(report[0]);
    RunChild(terminal, report[1], body);
  }
  close(report[1]);

  std::string out;
  std::string shown;   // the terminal's output
  size_t answered = 0;  // output up to here has been answered
  bool masterOpen = true, reportOpen = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (reportOpen) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      out = "<timed out>";
      break;
    }
    pollfd fds[2] = {{report[0], POLLIN, 0}, {masterOpen ? master : -1, POLLIN, 0}};
    poll(fds, 2, 50);
    char buffer[4096];
    if (fds[0].revents != 0) {
      ssize_t n = read(report[0], buffer, sizeof buffer);
      if (n <= 0) reportOpen = false;
      else out.append(buffer, static_cast<size_t>(n));
    }
    if (masterOpen && fds[1].revents != 0) {
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) masterOpen = false;  // every slave closed: the child is done with it
      else {
        // The terminal turns line feeds into CR LF; keep the text as written.
        for (ssize_t i = 0; i < n; ++i) {
          if (buffer[i] != '\r') shown.push_back(buffer[i]);
        }
      }
    }

    // Answer the newest question once.
    std::string fresh = shown.substr(answered);
    if (fresh.find("]: ") != std::string::npos && fresh.find("File name [") != std::string::npos) {
      answered = shown.size();
      if (++seen->shown == 1) {
        seen->title = shown.substr(0, shown.find('\n'));
        seen->folder = Between(fresh, "Folder: ", "\n");
        seen->fileType = Between(fresh, "Save as type: ", "\n");
        seen->proposedName = Between(fresh, "File name [", "]: ");
        if (user.cancel) WriteAll(master, "\x04");
        else WriteAll(master, user.typeName + "\n");
      } else {
        WriteAll(master, "\x04");  // asked again: give up
      }
    } else if (fresh.find("[y/N] ") != std::string::npos) {
      answered = shown.size();
      seen->askedToReplace = true;
      WriteAll(master, user.replace ? "y\n" : "n\n");
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  // What the child showed last may still be on its way.
  for (;;) {
    pollfd fd = {master, POLLIN, 0};
    char buffer[4096];
    if (!masterOpen || poll(&fd, 1, 0) <= 0) break;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\r') shown.push_back(buffer[i]);
    }
  }
  close(report[0]);
  close(master);
  seen->transcript = shown;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    out += "<child failed: status " + std::to_string(status) + ">";
  }
  return out;
}
