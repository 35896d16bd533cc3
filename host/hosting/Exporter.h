// One export of one image through the plug-in's entry point, as a host runs
// it: prepare, start (which pulls the image band by band through
// advanceState) and finish (which hands back the recorded step). Where the
// text goes is the sink's affair (host/sinks/), chosen from the request.
// Exports may run on several threads at once, each with its own session.
#pragma once

#include <cstdint>

#include "host/hosting/ExportRequest.h"
#include "plugin/HostInterface.h"

struct PluginSession {
  PluginEntryProc entry = nullptr;
  intptr_t dataCell = 0;  // the plug-in's globals, kept across exports
};

// The code advanceState answers when the image cannot be read.
const ResultCode kResultReadError = -19;

void RunExport(PluginSession* session, const ExportRequest& request, ExportOutcome* outcome);
