// Runs a batch of planned exports, several at once when asked: each worker
// thread has its own plug-in session (the plug-in's globals) and its own
// read-ahead worker, and results are handed back in the order of the
// images, whatever order they finish in.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "host/cli/Batch.h"
#include "host/hosting/Exporter.h"

struct JobSettings {
  PluginEntryProc entry = nullptr;
  int jobs = 1;
  ImageOptions imageOptions;
  SizeBounds size;
  int32_t maxData = 0;
  bool showDialog = false;
  bool progress = false;       // a progress bar on standard error
  std::string streamFolder;    // for exports to standard output
  // Exports to standard output look as these say (a terminal view).
  ImageOptions streamImageOptions;
  SizeBounds streamSize;
  ColourMapper* streamColour = nullptr;
  const PlaySettings* streamPlay = nullptr;  // animations played (a terminal view)
  // Every export a web page (--html), coloured or not; the background of
  // the pages written to files and of those on standard output.
  bool pages = false;
  bool pageColour = false;
  bool dark = false;
  bool streamDark = false;
};

// The outcome of export `index`, or skipped = true when a stop came first.
using JobReport = std::function<void(size_t index, const ExportOutcome& outcome, bool skipped)>;

// Calls `report` on the calling thread, once per export, in order.
void RunJobs(const BatchPlan& plan, const JobSettings& settings, const JobReport& report);
