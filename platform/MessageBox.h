// Modal message boxes: the About box and the alerts. On Windows these are
// MessageBoxA; the POSIX stand-in writes the About text to standard output
// and an alert to standard error, and answers as if OK was pressed.
#pragma once

#include "platform/Platform.h"

enum : unsigned {
  kMessageBoxOk = 0x00,                  // MB_OK
  kMessageBoxIconExclamation = 0x30,     // MB_ICONEXCLAMATION
  kMessageBoxIconInformation = 0x40,     // MB_ICONINFORMATION
};

enum : int { kMessageBoxAnswerOk = 1 };  // IDOK

// `caption` null = the system's default caption; "" = an empty one.
int PlatformMessageBox(PlatformWindow owner, const char* text, const char* caption, unsigned flags);
