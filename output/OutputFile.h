// The output file from its creation to its close, and the path that the
// export leaves for recording.
#pragma once

#include "plugin/PluginGlobals.h"

// Opens a new file for the renderer in fileRef. It is a temporary file beside
// the output path, which stays untouched until CloseOutputFile. False, with
// -23 in the result cell, when the output path cannot be replaced or the file
// cannot be made.
bool CreateOutputFile(PluginGlobals* globals);

// Closes the file. When the result cell holds 0, the file replaces the output
// path; otherwise, or if that fails, it is removed. Clears the document's
// dirty flag and leaves in pathHandle (and in `filename`) the path to record:
// the whole output path, or only its folder when the proposed name was kept.
bool CloseOutputFile(PluginGlobals* globals);
