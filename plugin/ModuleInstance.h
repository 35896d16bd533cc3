// The module's instance handle, saved when the system loads the module and
// read by everything that loads a string resource or opens a system dialog.
#pragma once

#include "platform/Platform.h"

extern PlatformInstance moduleInstance;

// Called once by the platform's module entry when the module is loaded.
void OnModuleAttach(PlatformInstance instance);
