// One export of one image through the plug-in's entry point, as a host runs
// it: prepare, start (which pulls the image band by band through
// advanceState) and finish (which hands back the recorded step). Exports
// may run on several threads at once, each with its own session.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

#include "host/hosting/HostSuites.h"
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

// A terminal view plays an animation in place (host/view/Player.h).
struct PlaySettings {
  int32_t plays = -1;  // times through its frames; 0: until stopped; -1: as the file says
  // The size bounds of the terminal as it is now, for a terminal resized
  // while playing; empty: the bounds the export started with.
  std::function<SizeBounds()> bounds;
};

// The text as a web page instead of a text file: the plug-in writes into a
// private folder of the export's own, and the page is made from the text as
// it grows.
struct PageRequest {
  bool wanted = false;
  std::string path;     // through the host's output writer; "": to `streamDescriptor`
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
  // A stream (standard output, another descriptor): the plug-in writes
  // into this private folder and the text is copied to `streamDescriptor`
  // as it grows; "" = none.
  std::string streamFolder;
  // The text on standard output coloured at the mapper's depth, each
  // character as the pixel or sample it came from; null: as written.
  ColourMapper* colour = nullptr;
  // An animation is played, not exported once; null: its frame is exported.
  const PlaySettings* play = nullptr;
  int streamDescriptor = 1;
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
  std::string outputMessage;    // why the page was not written, naming it
  bool recorded = false;        // finish handed back a step
  RecordedStep step;
  // The image's frames, and those of an animated PNG that cannot be read
  // (ImageInfo's frames and declaredFrames), once it opened.
  int32_t frames = 1;
  int32_t declaredFrames = 0;
  bool played = false;  // its frames were played, not one exported
};

// The code advanceState answers when the image cannot be read.
const ResultCode kResultReadError = -19;

// Set by the stop signals (their number); abortProc answers true once it
// is set, and decodes of whole images give up.
extern volatile std::sig_atomic_t gInterrupted;
// Set when the reader of standard output (or of another descriptor the
// text streams to) has gone away; the exports stop too.
extern volatile std::sig_atomic_t gOutputClosed;

// The first failure to write to a stream other than a reader going away:
// the descriptor and the system's error number. The exports stop too.
struct OutputFailure {
  int descriptor = -1;
  int error = 0;
};
// True, with the failure, once a write to a stream has failed that way.
bool OutputFailed(OutputFailure* failure = nullptr);
// True once the exports are to stop: a stop signal, or a stream that
// cannot be written.
bool ExportsStopped();

void RunExport(PluginSession* session, const ExportRequest& request, ExportOutcome* outcome);

// Writes to standard output, or to another descriptor the text streams to.
// False on failure, which is then kept (gOutputClosed when the reader went
// away, else OutputFailed); a stop signal also ends a write that waits for
// a slow reader. After a failure, every later write fails at once.
bool WriteStandardOutput(const void* data, size_t size);
bool WriteStream(int fd, const void* data, size_t size);
