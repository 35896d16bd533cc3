// What one export is asked to do and what became of it: the image, its
// size, where the text goes, and the outcome the host reports. Shared by
// the exporter, the sinks its text goes to, and the jobs that ask for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/hosting/HostSuites.h"
#include "host/image/ImageInput.h"

struct ReadAheadWorker;
struct ProgressBar;
class ColourMapper;

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

  // Where the text goes (host/sinks/ChooseSink.h reads these): a file the
  // plug-in writes itself unless one of them says otherwise.
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
