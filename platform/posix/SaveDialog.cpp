// The Save As dialog without a window system: a conversation on the
// controlling terminal. It shows the title and the file types, starts in the
// initial folder with the proposed name as the default answer, and keeps the
// common dialog's promises: a name typed without an extension gets the
// default one, the folder must exist, replacing a file is confirmed first,
// and the answer is the full path and the file's name. End of input, an
// interrupting signal, or no terminal to ask on, is a cancel. Names are
// shown escaped (PrintableText.h): an image's name reaches the terminal in
// the proposal and the folder, and would otherwise be a sequence the
// terminal obeys.
#include "platform/SaveDialog.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/PrintableText.h"

namespace {

const size_t kLongestAnswer = 4096;

struct Terminal {
  int fd;
  termios saved;
  bool restore;
  // The signal mask to wait with: the stop signals are blocked everywhere
  // else in the conversation, so that one sent just before a wait is not
  // lost but ends that wait.
  sigset_t waitMask;
};

bool OpenTerminal(Terminal* terminal) {
  terminal->restore = false;
  terminal->fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal->fd < 0) return false;
  // Only the foreground may use the terminal: reading from the background
  // would stop the whole process.
  if (::tcgetpgrp(terminal->fd) != ::getpgrp()) {
    ::close(terminal->fd);
    return false;
  }
  // Answers are read line by line and shown as they are typed, whatever
  // mode the terminal was left in.
  if (::tcgetattr(terminal->fd, &terminal->saved) == 0 &&
      (terminal->saved.c_lflag & (ICANON | ECHO)) != (ICANON | ECHO)) {
    termios lineMode = terminal->saved;
    lineMode.c_lflag |= ICANON | ECHO;
    lineMode.c_iflag |= ICRNL;
    terminal->restore = ::tcsetattr(terminal->fd, TCSANOW, &lineMode) == 0;
  }
  return true;
}

void CloseTerminal(Terminal* terminal) {
  if (terminal->restore) ::tcsetattr(terminal->fd, TCSANOW, &terminal->saved);
  ::close(terminal->fd);
}

void Say(const Terminal& terminal, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(terminal.fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// One line of input without its line end; false at the end of input, and
// when a signal interrupts the wait (Ctrl-C at the prompt): the user wants
// out now, not after another line.
bool Hear(const Terminal& terminal, std::string* line) {
  line->clear();
  bool any = false;
  for (;;) {
    pollfd ready{terminal.fd, POLLIN, 0};
    if (::ppoll(&ready, 1, nullptr, &terminal.waitMask) < 0) return false;
    char c = 0;
    ssize_t n = ::read(terminal.fd, &c, 1);
    if (n < 0) return false;
    if (n == 0) return any;
    any = true;
    if (c == '\n') return true;
    if (c != '\r' && line->size() < kLongestAnswer) line->push_back(c);
  }
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string CurrentFolder() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string("/");
}

std::string Join(const std::string& folder, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsYes(const std::string& answer) {
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

void ShowHeading(const Terminal& terminal, const SaveDialogRequest* request) {
  Say(terminal, PrintableText(request->title != nullptr ? request->title : "Save As") + "\n");
  // The filter is pairs of texts; the first of each pair is what users see.
  for (const char* p = request->filter; p != nullptr && *p != '\0';) {
    Say(terminal, "Save as type: " + PrintableText(p) + "\n");
    p += std::strlen(p) + 1;
    if (*p == '\0') break;
    p += std::strlen(p) + 1;
  }
}

SaveDialogAnswer Converse(const Terminal& terminal, const SaveDialogRequest* request) {
  ShowHeading(terminal, request);

  std::string folder = request->initialFolder != nullptr && request->initialFolder[0] != '\0'
                           ? std::string(request->initialFolder)
                           : CurrentFolder();
  if (folder[0] != '/') folder = Join(CurrentFolder(), folder);
  std::string proposal(request->file, strnlen(request->file, request->fileSize));
  const std::string extension =
      request->defaultExtension != nullptr ? std::string(request->defaultExtension) : std::string();

  for (;;) {
    Say(terminal, "Folder: " + PrintableText(folder) + "\nFile name [" + PrintableText(proposal) + "]: ");
    std::string answer;
    if (!Hear(terminal, &answer)) {
      Say(terminal, "\n");
      return kSaveDialogCancelled;
    }
    if (answer.empty()) answer = proposal;
    if (answer.empty()) continue;

    std::string path = Join(folder, answer);
    // A folder's name opens that folder, as in the common dialog.
    if (IsFolder(path)) {
      folder = path;
      continue;
    }
    if (!extension.empty() && NameOf(path).find('.') == std::string::npos) path += "." + extension;

    if ((request->flags & kSaveDialogPathMustExist) != 0 && !IsFolder(FolderOf(path))) {
      Say(terminal, "The folder " + PrintableText(FolderOf(path)) + " does not exist.\n");
      continue;
    }
    if (IsFolder(path)) {
      Say(terminal, PrintableText(path) + " is a folder.\n");
      continue;
    }
    std::string title = NameOf(path);
    if (path.size() >= request->fileSize ||
        (request->fileTitle != nullptr && title.size() >= request->fileTitleSize)) {
      Say(terminal, "The file name is too long.\n");
      continue;
    }
    if ((request->flags & kSaveDialogOverwritePrompt) != 0 && Exists(path)) {
      Say(terminal, PrintableText(path) + " already exists.\nDo you want to replace it? [y/N] ");
      std::string confirm;
      if (!Hear(terminal, &confirm)) {
        Say(terminal, "\n");
        return kSaveDialogCancelled;
      }
      if (!IsYes(confirm)) continue;
    }

    std::memcpy(request->file, path.c_str(), path.size() + 1);
    if (request->fileTitle != nullptr)
      std::memcpy(request->fileTitle, title.c_str(), title.size() + 1);
    return kSaveDialogChosen;
  }
}

}  // namespace

SaveDialogAnswer PlatformSaveDialog(const SaveDialogRequest* request) {
  if (request->file == nullptr || request->fileSize == 0) return kSaveDialogCancelled;
  Terminal terminal{};
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, &terminal.waitMask);
  SaveDialogAnswer answer = kSaveDialogCancelled;
  if (OpenTerminal(&terminal)) {
    answer = Converse(terminal, request);
    CloseTerminal(&terminal);
  }
  pthread_sigmask(SIG_SETMASK, &terminal.waitMask, nullptr);
  return answer;
}
