// The common dialog's record as the Save As dialog fills it; apart so that
// tests can check every field.
#pragma once

// windows.h brings the common dialogs with it.
#include <windows.h>

#include "platform/SaveDialog.h"

// The size of the record as Windows 95 and NT 4 defined it, without the
// fields added later; every version of the dialog accepts it.
const DWORD kOpenFileNameSize = 76;

void FillOpenFileName(const SaveDialogRequest* request, OPENFILENAMEA* dialog);
