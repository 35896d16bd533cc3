// The start selector: the whole export happens within this one call.
#include "hostsupport/Handles.h"
#include "output/OutputFile.h"
#include "output/OutputPath.h"
#include "plugin/Handlers.h"
#include "render/Renderer.h"
#include "scripting/RecordedParameters.h"

namespace {

// Sizes no image can have: refused before anything is read, asked or made.
bool DescribesAnImage(const ExportRecord* stuff) {
  return stuff->imageSize.v >= 0 && stuff->imageSize.h >= 0 && stuff->planes >= 1;
}

}  // namespace

void HandleStart(PluginGlobals* globals) {
  ExportRecord* stuff = globals->stuff;
  if (stuff->imageMode == kModeBitmap) {
    *globals->result = kResultBitmapMode;
    return;
  }
  if (!DescribesAnImage(stuff)) {
    *globals->result = kResultBadParameter;
    return;
  }

  // A path made by an earlier export whose finish recorded nothing is still
  // ours to release.
  if (globals->pathHandle != nullptr) DisposeHandle(stuff->handleProcs, globals->pathHandle);
  ResetGlobals(globals);
  globals->queryForParameters = ReadRecordedParameters(globals);

  if (!SelectOutputPath(globals)) return;
  if (!CreateOutputFile(globals)) return;
  // Whatever the renderer achieves, the file is closed (and kept only on
  // success) and the host is left nothing to deliver.
  WriteImageAsText(globals);
  CloseOutputFile(globals);
  EmptyRequestRect(stuff);
}
