// The DLL entry point: remembers the module's instance handle for string
// loading and the system dialogs.
#include <windows.h>

#include "plugin/ModuleInstance.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) OnModuleAttach(instance);
  return TRUE;
}
