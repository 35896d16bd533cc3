#include "platform/SaveDialog.h"

#include <cstring>

#include "platform/win32/SaveDialogFill.h"

void FillOpenFileName(const SaveDialogRequest* request, OPENFILENAMEA* dialog) {
  std::memset(dialog, 0, sizeof *dialog);
  dialog->lStructSize = kOpenFileNameSize;
  dialog->hwndOwner = static_cast<HWND>(request->owner);
  dialog->hInstance = static_cast<HINSTANCE>(request->instance);
  dialog->lpstrFilter = request->filter;
  dialog->lpstrCustomFilter = nullptr;
  dialog->nMaxCustFilter = 0;
  dialog->nFilterIndex = 0;
  dialog->lpstrFile = request->file;
  dialog->nMaxFile = request->fileSize;
  dialog->lpstrFileTitle = request->fileTitle;
  dialog->nMaxFileTitle = request->fileTitleSize;
  dialog->lpstrInitialDir = request->initialFolder;
  dialog->lpstrTitle = request->title;
  dialog->Flags = request->flags;
  dialog->nFileOffset = 0;
  dialog->nFileExtension = 0;
  dialog->lpstrDefExt = request->defaultExtension;
  dialog->lCustData = 0;
  dialog->lpfnHook = nullptr;
  dialog->lpTemplateName = nullptr;
}

SaveDialogAnswer PlatformSaveDialog(const SaveDialogRequest* request) {
  OPENFILENAMEA dialog;
  FillOpenFileName(request, &dialog);
  return GetSaveFileNameA(&dialog) ? kSaveDialogChosen : kSaveDialogCancelled;
}
