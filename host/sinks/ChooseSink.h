// The sink an export's text goes to, chosen once from its request before
// the export starts: a page (--html) wherever it goes; else a stream,
// coloured for a terminal view; else the file the plug-in writes itself.
// A terminal view that plays animations has the player in front of that.
// A new kind of output is a new sink here (TextSink.h says what one does).
#pragma once

#include <memory>

#include "host/sinks/TextSink.h"

std::unique_ptr<TextSink> ChooseSink(const ExportRequest& request);
