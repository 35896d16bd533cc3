// The handlers of about, prepare, continue and finish.
#include <cstring>

#include "platform/MessageBox.h"
#include "platform/ModuleResources.h"
#include "plugin/Handlers.h"
#include "plugin/ModuleInstance.h"
#include "scripting/RecordedParameters.h"

void HandleAbout(AboutRecord* about) { ShowAboutMessage(about, moduleInstance, kAboutStringId); }

void ShowAboutMessage(AboutRecord* about, PlatformInstance instance, unsigned stringId) {
  char message[256];
  char caption[60];
  message[0] = '\0';
  caption[0] = '\0';
  PlatformLoadString(instance, stringId, message, 255);
  PlatformLoadString(instance, stringId + 1, caption, 60);

  PlatformWindow owner = nullptr;
  if (about != nullptr && about->platformData != nullptr) {
    owner = reinterpret_cast<PlatformWindow>(static_cast<PlatformData*>(about->platformData)->hwnd);
  }
  PlatformMessageBox(owner, message, caption, kMessageBoxOk | kMessageBoxIconInformation);
}

void HandlePrepare(PluginGlobals* globals) {
  if (globals->stuff->maxData > kMaxDataBudget) globals->stuff->maxData = kMaxDataBudget;
}

void HandleContinue(PluginGlobals* globals) {
  EmptyRequestRect(globals->stuff);
  *globals->result = kResultCancelled;
}

void HandleFinish(PluginGlobals* globals) { WriteRecordedParameters(globals); }
