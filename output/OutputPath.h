// Choosing the output file: with the Save As dialog, or composed without
// asking from the recorded path or the document's name.
#pragma once

#include "plugin/PluginGlobals.h"

// The longest path the `filename` field holds, with its NUL after it.
const size_t kOutputPathMax = 255;

// True with the output path in the parameter block's `filename` field. False
// when the dialog was cancelled (-128 in the result cell) or when the path
// would be longer than the field holds (-23). pathHandle is released either
// way.
bool SelectOutputPath(PluginGlobals* globals);
