// The Save As dialog that asks for the output file. On Windows this is the
// common dialog GetSaveFileNameA, given exactly these fields; the POSIX
// stand-in asks on the controlling terminal with the same contract.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

// The dialog's options, with the values of the OFN_ flags they stand for.
enum : uint32_t {
  kSaveDialogOverwritePrompt = 0x2,  // ask before replacing an existing file
  kSaveDialogHideReadOnly = 0x4,     // no read-only check box
  kSaveDialogPathMustExist = 0x800,  // only files in an existing folder
  kSaveDialogLongNames = 0x200000,
};

struct SaveDialogRequest {
  PlatformWindow owner;  // null: no owner
  PlatformInstance instance;
  // Pairs of NUL-terminated texts (the name shown, the pattern), ended by an
  // extra NUL.
  const char* filter;
  // In: the name proposed; out: the full path chosen. At most fileSize bytes
  // are used, the NUL included.
  char* file;
  uint32_t fileSize;
  // Out: the chosen file's name without its folder, at most fileTitleSize
  // bytes with the NUL.
  char* fileTitle;
  uint32_t fileTitleSize;
  const char* initialFolder;  // null or "": the system's choice
  const char* title;
  uint32_t flags;
  // Added after a dot to a name typed without an extension; null: nothing.
  const char* defaultExtension;
};

enum SaveDialogAnswer {
  kSaveDialogCancelled = 0,  // the user cancelled, or the dialog could not be shown
  kSaveDialogChosen = 1,     // file and fileTitle hold the choice
};

SaveDialogAnswer PlatformSaveDialog(const SaveDialogRequest* request);
