// A user for the Save As dialog: runs code that shows the dialog and answers
// it as told. On Windows a second thread finds the real dialog and presses
// its buttons; on POSIX the code runs in a child process whose controlling
// terminal is a pseudo-terminal that this process reads and types into.
#pragma once

#include <functional>
#include <string>

struct SaveDialogUser {
  std::string typeName;  // typed into the name box; empty keeps the proposal
  bool cancel = false;   // cancel instead of saving
  bool replace = true;   // the answer when asked to replace a file; no, then cancel
};

struct SaveDialogSeen {
  int shown = 0;               // times the dialog asked for a name
  std::string title;           // its caption
  std::string proposedName;    // the name it offered
  std::string folder;          // the folder it opened in
  std::string fileType;        // the file type it offered
  bool askedToReplace = false;
  std::string transcript;      // POSIX: everything the terminal showed
};

// Runs `body` while the user answers. On POSIX `body` runs in another
// process: it must report through the string it returns, which this returns,
// and its own assertions do not count.
std::string RunWithSaveDialog(const SaveDialogUser& user, const std::function<std::string()>& body,
                              SaveDialogSeen* seen);
