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

// How the exports of one kind look: the image as the plug-in is given it,
// its size, and how the text is shown where it goes.
struct ExportLook {
  ImageOptions imageOptions;
  SizeBounds size;
  ColourMapper* colour = nullptr;      // the text coloured at the mapper's depth; null: as written
  const PlaySettings* play = nullptr;  // animations played (a terminal view)
  bool dark = false;                   // a page's background
};

struct JobSettings {
  PluginEntryProc entry = nullptr;
  int jobs = 1;
  int32_t maxData = 0;
  bool showDialog = false;
  bool progress = false;       // a progress bar on standard error
  // Exports to standard output look as `streamLook` says (a terminal
  // view), every other as `fileLook` says.
  ExportLook fileLook;
  ExportLook streamLook;
  std::string streamFolder;    // the private folder the streams' text passes through
  // Every export a web page (--html), coloured or not.
  bool pages = false;
  bool pageColour = false;
};

// The outcome of export `index`, or skipped = true when a stop came first.
using JobReport = std::function<void(size_t index, const ExportOutcome& outcome, bool skipped)>;

// Calls `report` on the calling thread, once per export, in order.
void RunJobs(const BatchPlan& plan, const JobSettings& settings, const JobReport& report);
