// One export of one image through the plug-in's entry point, as a host runs
// it: prepare, start (which pulls the image band by band through
// advanceState) and finish (which hands back the recorded step). Exports
// may run on several threads at once, each with its own session.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "host/HostSuites.h"
#include "host/image/ImageInput.h"
#include "plugin/HostInterface.h"

struct ReadAheadWorker;
struct ProgressBar;
class ColourMapper;

struct PluginSession {
  PluginEntryProc entry = nullptr;
  intptr_t dataCell = 0;  // the plug-in's globals, kept across exports
};

// Sizing done before the export, in characters; 0 = no bound.
struct SizeBounds {
  int32_t columns = 0;
  int32_t lines = 0;
  double cellAspect = 2.0;
  bool enlarge = false;
};

// The text as a web page instead of a text file: the plug-in writes into a
// private folder of the export's own, and the page is made from the text as
// it grows.
struct PageRequest {
  bool wanted = false;
  std::string path;     // through the host's output writer; "" for standard output
  bool dark = false;    // light text on black
  bool colour = false;  // characters coloured as in the terminal view
};

struct ExportRequest {
  std::string imagePath;        // "-" is standard input
  std::string documentName;     // the name the plug-in is given
  ImageOptions imageOptions;
  SizeBounds size;
  int32_t maxData = 4 * 1024 * 1024;
  bool showDialog = false;      // ask for the output path in the Save As dialog
  const RecordedStep* step = nullptr;  // the step played; null = none recorded
  // Standard output: the plug-in writes into this private folder and the
  // text is copied to standard output as it grows; "" = none.
  std::string streamFolder;
  // The text on standard output coloured at the mapper's depth, each
  // character as the pixel or sample it came from; null: as written.
  ColourMapper* colour = nullptr;
  PageRequest page;
  ReadAheadWorker* readAhead = nullptr;  // null: no decoding ahead
  ProgressBar* progress = nullptr;       // null: no progress shown
};

struct ExportOutcome {
  int16_t result = 0;           // the plug-in's result
  int systemError = 0;          // errno as the failing export left it
  bool imageError = false;      // the image could not be read (before or during)
  std::string imageMessage;
  std::string outputPath;       // where the plug-in wrote (or meant to write)
  bool streamClosed = false;    // standard output's reader went away
  std::string outputMessage;    // why the page was not written, naming it
  bool recorded = false;        // finish handed back a step
  RecordedStep step;
};

// The code advanceState answers when the image cannot be read.
const ResultCode kResultReadError = -19;

// Set by the stop signals (their number); abortProc answers true once it
// is set, and decodes of whole images give up.
extern volatile std::sig_atomic_t gInterrupted;
// Set when standard output's reader has gone away; the exports stop too.
extern volatile std::sig_atomic_t gOutputClosed;

void RunExport(PluginSession* session, const ExportRequest& request, ExportOutcome* outcome);

// Writes to standard output; false (and gOutputClosed set when the reader
// went away) on failure.
bool WriteStandardOutput(const void* data, size_t size);
