// The entry point the host calls once per selector, and the module instance.
#include <new>

#include "hostsupport/Handles.h"
#include "plugin/Handlers.h"
#include "plugin/HostInterface.h"
#include "plugin/ModuleInstance.h"
#include "plugin/PluginGlobals.h"

PlatformInstance moduleInstance = nullptr;

void OnModuleAttach(PlatformInstance instance) { moduleInstance = instance; }

namespace {

// Runs one selector. `locked` tells the caller whether the globals handle in
// the data cell is locked, so that it can still be unlocked if the handler
// fails with an exception.
void Dispatch(int16_t selector, void* stuff, intptr_t* data, int16_t* result, bool* locked) {
  if (selector == kSelectorAbout) {
    HandleAbout(static_cast<AboutRecord*>(stuff));
    return;
  }

  auto* exportRecord = static_cast<ExportRecord*>(stuff);
  PluginGlobals* globals = FindOrCreateGlobals(result, exportRecord, exportRecord->handleProcs,
                                               static_cast<int32_t>(sizeof(PluginGlobals)), data,
                                               ResetGlobals);
  if (globals == nullptr) {
    *result = kResultOutOfMemory;
    return;
  }
  *locked = true;

  switch (selector) {
    case kSelectorStart: HandleStart(globals); break;
    case kSelectorContinue: HandleContinue(globals); break;
    case kSelectorFinish: HandleFinish(globals); break;
    case kSelectorPrepare: HandlePrepare(globals); break;
    default: *globals->result = kResultUnknownSelector; break;
  }

  if (*data != 0) {
    UnlockHandle(globals->stuff->handleProcs, reinterpret_cast<Handle>(*data));
  }
  *locked = false;
}

}  // namespace

// Nothing may unwind into the host: whatever escapes a handler becomes a
// result code, and the globals are unlocked as on a normal return.
GW_EXPORT void GW_HOSTCALL PluginMain(int16_t selector, void* stuff, intptr_t* data,
                                      int16_t* result) {
  bool locked = false;
  ResultCode failure = kResultOk;
  try {
    Dispatch(selector, stuff, data, result, &locked);
  } catch (const std::bad_alloc&) {
    failure = kResultOutOfMemory;
  } catch (...) {
    failure = kResultInternalError;
  }
  if (failure == kResultOk || selector == kSelectorAbout) return;
  try {
    if (locked && *data != 0) {
      auto* exportRecord = static_cast<ExportRecord*>(stuff);
      UnlockHandle(exportRecord->handleProcs, reinterpret_cast<Handle>(*data));
    }
  } catch (...) {
  }
  if (result != nullptr && *result == kResultOk) *result = failure;
}
