// The start selector: the whole export happens within this one call.
#include "plugin/Handlers.h"

void HandleStart(PluginGlobals* globals) {
  if (globals->stuff->imageMode == kModeBitmap) {
    *globals->result = kResultBitmapMode;
    return;
  }
  ResetGlobals(globals);
}
