#include "plugin/PluginGlobals.h"

#include <cstring>

#include "hostsupport/Handles.h"

namespace {

void BindCall(PluginGlobals* globals, int16_t* resultCell, ExportRecord* stuff) {
  globals->result = resultCell;
  *resultCell = kResultOk;
  globals->stuff = stuff;
}

}  // namespace

PluginGlobals* FindOrCreateGlobals(int16_t* resultCell, ExportRecord* stuff, HandleProcs* procs,
                                   int32_t size, intptr_t* dataCell, GlobalsInitialiser initialiser) {
  if (*dataCell != 0) {
    Handle existing = reinterpret_cast<Handle>(*dataCell);
    auto* globals = reinterpret_cast<PluginGlobals*>(LockHandle(procs, existing, true));
    if (globals != nullptr) BindCall(globals, resultCell, stuff);
    return globals;
  }

  Handle created = NewHandle(procs, size);
  if (created == nullptr) return nullptr;
  auto* globals = reinterpret_cast<PluginGlobals*>(LockHandle(procs, created, true));
  if (globals == nullptr) {
    // Leave the data cell empty so that the next call tries afresh.
    DisposeHandle(procs, created);
    return nullptr;
  }
  // A host's handle need not come zero-filled; fields no step has set yet
  // must not hold garbage.
  std::memset(globals, 0, static_cast<size_t>(size));
  BindCall(globals, resultCell, stuff);
  initialiser(globals);
  *dataCell = reinterpret_cast<intptr_t>(created);
  return globals;
}

void ResetGlobals(PluginGlobals* globals) {
  globals->queryForParameters = true;
  globals->pathHandle = nullptr;
}

bool CheckResult(int16_t* resultCell, ResultCode code) {
  if (code == kResultOk) return true;
  if (*resultCell == kResultOk) *resultCell = code;
  return false;
}

bool CheckAbort(int16_t* resultCell, bool abortRequested) {
  if (!abortRequested) return true;
  if (*resultCell == kResultOk) *resultCell = kResultCancelled;
  return false;
}

void EmptyRequestRect(ExportRecord* stuff) {
  stuff->theRect.top = 0;
  stuff->theRect.left = 0;
  stuff->theRect.bottom = 0;
  stuff->theRect.right = 0;
}
