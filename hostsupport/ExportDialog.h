// The export parameter dialog (template EXPORTPARAM): a caller opens it with
// the system's dialog functions, passing the address of a CountedString as
// the initialisation parameter; the dialog shows that string in its edit
// field and, on OK, stores the edited text back into it. The plug-in's own
// export never opens it; the module exports ExportProc for such callers.
#pragma once

#include <cstdint>

#include "hostsupport/CountedString.h"
#include "platform/DialogWindow.h"
#include "platform/Platform.h"

// The string the open dialog edits, set when the dialog is created. One such
// dialog is open at a time.
extern CountedString* dialogTextRef;

const int16_t kExportDialogFileNameItem = 4;  // the edit field

// The dialog procedure: a nonzero answer means the message was handled.
// Unknown messages and commands answer 0 and change nothing.
extern "C" int32_t GW_DIALOGCALL ExportProc(PlatformWindow dialog, DialogMessage message,
                                            DialogWParam wParam, DialogLParam lParam);

// Centres the dialog over its parent (or the desktop), shifted left by part
// of a caption button's width and at a third of the free height; see
// CenteredDialogPosition.
void CenterDialog(PlatformWindow dialog);

// The destination becomes the item's text, at most 254 characters.
void GetItemString(PlatformWindow dialog, int16_t item, CountedString* destination);

// Shows the source in the item. A source of 255 characters is cut to 254
// first: the caller's string itself changes.
void SetItemString(PlatformWindow dialog, int16_t item, CountedString* source);
