// One export of one image through the plug-in's entry point, as a host runs
// it: prepare, start (which pulls the image band by band through
// advanceState) and finish (which hands back the recorded step).
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "host/HostSuites.h"
#include "host/image/ImageInput.h"
#include "plugin/HostInterface.h"

struct PluginSession {
  PluginEntryProc entry = nullptr;
  intptr_t dataCell = 0;  // the plug-in's globals, kept across exports
};

struct ExportRequest {
  std::string imagePath;        // also the document name the plug-in sees
  ImageOptions imageOptions;
  int32_t maxData = 4 * 1024 * 1024;
  bool showDialog = false;      // ask for the output path in the Save As dialog
  const RecordedStep* step = nullptr;  // the step played; null = none recorded
  bool progressBar = false;
};

struct ExportOutcome {
  int16_t result = 0;           // the plug-in's result
  bool imageError = false;      // the image could not be read (before or during)
  std::string imageMessage;
  std::string outputPath;       // where the text went, when result is 0
  bool recorded = false;        // finish handed back a step
  RecordedStep step;
};

// The code advanceState answers when the image cannot be read.
const ResultCode kResultReadError = -19;

// Set by the interrupt handler; abortProc answers true once it is set.
extern volatile std::sig_atomic_t gInterrupted;

void RunExport(PluginSession* session, const ExportRequest& request, ExportOutcome* outcome);

// "cancelled (-128)" and so on.
std::string DescribeResult(int16_t result);

// Where an export wrote, from the path the plug-in recorded: the file, or
// for a recorded folder the folder and the document's base name with ".txt".
std::string OutputPathFromRecord(const std::string& recorded, const std::string& documentName);
