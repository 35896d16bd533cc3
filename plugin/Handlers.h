// The selector handlers. Their answers are not used: everything the host
// learns comes back through the result cell and the parameter block.
#pragma once

#include "plugin/HostInterface.h"
#include "plugin/PluginGlobals.h"

void HandleAbout(AboutRecord* about);
void HandlePrepare(PluginGlobals* globals);
void HandleStart(PluginGlobals* globals);
void HandleContinue(PluginGlobals* globals);
void HandleFinish(PluginGlobals* globals);

// The About box: string `stringId` as the text, the next one as the caption.
void ShowAboutMessage(AboutRecord* about, PlatformInstance instance, unsigned stringId);

// The most image data the plug-in lets the host deliver in one band.
const int32_t kMaxDataBudget = 524288;

const unsigned kAboutStringId = 16000;
