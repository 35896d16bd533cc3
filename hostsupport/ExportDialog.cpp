#include "hostsupport/ExportDialog.h"

#include <cstring>

#include "hostsupport/DialogPlacement.h"

CountedString* dialogTextRef = nullptr;

void SetItemString(PlatformWindow dialog, int16_t item, CountedString* source) {
  if (source->length == 255) source->length = kCountedStringMax;
  source->chars[source->length] = '\0';
  PlatformSetItemText(dialog, item, source->chars);
}

void GetItemString(PlatformWindow dialog, int16_t item, CountedString* destination) {
  char text[256] = {0};
  // A limit of 255 lets at most 254 characters arrive.
  PlatformGetItemText(dialog, item, text, 255);
  ClearString(destination);
  AppendChars(destination, text, 0, static_cast<int16_t>(std::strlen(text)));
}

void CenterDialog(PlatformWindow dialog) {
  PlatformWindow reference = PlatformParentWindow(dialog);
  if (reference == nullptr) reference = PlatformDesktopWindow();
  const PlatformRect area = PlatformClientAreaOnScreen(reference);
  const PlatformRect window = PlatformWindowArea(dialog);
  const int32_t width = window.right - window.left;
  const int32_t height = window.bottom - window.top;
  const DialogPosition at =
      CenteredDialogPosition(area, width, height, PlatformScreenWidth(), PlatformScreenHeight(),
                             PlatformCaptionButtonWidth(), PlatformHasSystemMenu(dialog));
  PlatformMoveWindow(dialog, at.x, at.y, width, height);
}

// A caller that opens the dialog without a string (a null initialisation
// parameter) gets an empty field, and OK then has nowhere to store the text:
// the dialog still works instead of dereferencing null.
extern "C" int32_t GW_DIALOGCALL ExportProc(PlatformWindow dialog, DialogMessage message,
                                            DialogWParam wParam, DialogLParam lParam) {
  switch (message) {
    case kMessageInitDialog:
      dialogTextRef = reinterpret_cast<CountedString*>(lParam);
      if (dialogTextRef != nullptr) SetItemString(dialog, kExportDialogFileNameItem, dialogTextRef);
      CenterDialog(dialog);
      // 0: the dialog manager must not move the focus to a control of its
      // choosing.
      return 0;
    case kMessageCommand:
      switch (wParam & 0xFFFFu) {
        case kCommandOk:
          if (dialogTextRef != nullptr) {
            GetItemString(dialog, kExportDialogFileNameItem, dialogTextRef);
          }
          PlatformEndDialog(dialog, kCommandOk);
          return 1;
        case kCommandCancel:
          PlatformEndDialog(dialog, kCommandCancel);
          return 1;
        default:
          return 0;
      }
    default:
      return 0;
  }
}
